// Reads the board's live view (/live) for a while and reports what came:
//   node live_reader.mjs URL SECONDS [--stalled N]
// --stalled N first opens N more live views that never read a byte after
// their upgrade (their socket buffers fill up). Prints one JSON line:
// {"init":bool,"fragments":n,"lastFourSeconds":n,"bytes":n}.
import net from 'node:net';
import WebSocket from 'ws';

const [url, secondsText, flag, countText] = process.argv.slice(2);
const seconds = Number(secondsText);
const stalledCount = flag === '--stalled' ? Number(countText) : 0;
const { hostname, port } = new URL(url);

const stalled = [];
for (let i = 0; i < stalledCount; i++) {
  const s = net.connect(Number(port), hostname, () => {
    s.write('GET /live HTTP/1.1\r\nHost: ' + hostname + ':' + port + '\r\nUpgrade: websocket\r\n' +
      'Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n');
    s.pause();
  });
  s.setRecvBufferSize?.(4096);
  stalled.push(s);
}

const ws = new WebSocket(url);
const arrivals = [];
let init = false;
let bytes = 0;
const start = Date.now();
ws.on('message', (data, binary) => {
  if (!binary) {
    if (JSON.parse(data.toString()).type === 'init') init = true;
    return;
  }
  arrivals.push(Date.now());
  bytes += data.length;
});
ws.on('error', (e) => { console.error('live_reader:', e.message); });
setTimeout(() => {
  const end = Date.now();
  const recent = arrivals.filter((t) => t > end - 4000).length;
  // The init segment is the first binary message.
  console.log(JSON.stringify({ init, fragments: Math.max(0, arrivals.length - 1), lastFourSeconds: recent,
    bytes, seconds: (end - start) / 1000 }));
  ws.terminate();
  for (const s of stalled) s.destroy();
  process.exit(0);
}, seconds * 1000);
