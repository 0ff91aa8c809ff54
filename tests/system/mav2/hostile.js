// Hostile input for the MAVLink 2 camera endpoint, from a table of cases:
// each case sends its bytes to the board's port, then a well-behaved request
// must still be answered. Prints "ok: ..." or "FAILED: ..." lines; the exit
// status is the number of failures.
//
//   node hostile.js [FLOOD_SECONDS]
'use strict';

const dgram = require('dgram');
const crypto = require('crypto');
const { PassThrough } = require('stream');
const {
  MavLinkPacketSplitter, MavLinkPacketParser, MavLinkProtocolV2, MavLinkProtocolV1, minimal, common,
  x25crc,
} = require('node-mavlink');

const BOARD_PORT = 14555;
const floodSeconds = Number(process.argv[2] || 10);
const REGISTRY = { ...minimal.REGISTRY, ...common.REGISTRY };
const v2 = new MavLinkProtocolV2(255, 190);
const v1 = new MavLinkProtocolV1(255, 190);
const socket = dgram.createSocket('udp4');
const input = new PassThrough();
let answered = 0;
let failures = 0;

input.pipe(new MavLinkPacketSplitter()).pipe(new MavLinkPacketParser()).on('data', (packet) => {
  if (packet.header.msgid === common.CameraSettings.MSG_ID) answered += 1;
});
socket.on('message', (buf) => input.write(buf));

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const send = (bytes) => new Promise((r) => socket.send(bytes, BOARD_PORT, '127.0.0.1', () => r()));

function command(number, target = 1, params = []) {
  const c = new common.CommandLong();
  c.targetSystem = target;
  c.targetComponent = 100;
  c.command = number;
  [c._param1, c._param2] = [params[0] || 0, params[1] || 0];
  return Buffer.from(v2.serialize(c, 1));
}

const settingsRequest = () => command(512, 1, [common.CameraSettings.MSG_ID]);

// A frame of id `msgid` whose payload is `payload`, with a correct checksum
// where the id has a known CRC extra (others are bound to fail theirs).
function raw(msgid, payload) {
  const header = Buffer.from([0xfd, payload.length, 0, 0, 7, 255, 190,
    msgid & 0xff, (msgid >> 8) & 0xff, (msgid >> 16) & 0xff]);
  const clazz = REGISTRY[msgid];
  const frame = Buffer.concat([header, payload, Buffer.alloc(2)]);
  const crc = x25crc(frame, 1, 2, clazz ? clazz.MAGIC_NUMBER : 0);
  frame.writeUInt16LE(crc, frame.length - 2);
  return frame;
}

async function stillAnswers(what) {
  const before = answered;
  for (let i = 0; i < 5 && answered === before; i += 1) {
    await send(settingsRequest());
    await sleep(300);
  }
  const ok = answered > before;
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}: the camera still answers`);
  if (!ok) failures += 1;
}

const cases = [
  ['truncated frames', async () => {
    const f = settingsRequest();
    for (let cut = 1; cut < f.length; cut += 1) await send(f.subarray(0, cut));
  }],
  ['wrong checksums', async () => {
    for (let i = 0; i < 200; i += 1) {
      const f = settingsRequest();
      f[f.length - 1 - (i % 2)] ^= 1 + (i % 255);
      await send(f);
    }
  }],
  ['frames for other systems', async () => {
    for (const target of [2, 9, 200, 254]) await send(command(2000, target, [0, 0]));
  }],
  ['signed frames and MAVLink 1', async () => {
    const f = settingsRequest();
    f[2] = 0x01;
    await send(f);
    const c = new common.CommandLong();
    c.targetSystem = 1;
    c.targetComponent = 100;
    c.command = 2000;
    await send(Buffer.from(v1.serialize(c, 1)));
  }],
  ['every message id with random payloads', async () => {
    for (let id = 0; id < 512; id += 1) {
      for (let i = 0; i < 3; i += 1) {
        await send(raw(id, crypto.randomBytes(1 + crypto.randomInt(255))));
      }
    }
    for (const id of [76, 77, 259, 260, 261, 262, 263, 269, 270]) {
      for (let i = 0; i < 200; i += 1) await send(raw(id, crypto.randomBytes(1 + crypto.randomInt(255))));
    }
  }],
  ['garbage datagrams', async () => {
    for (let i = 0; i < 500; i += 1) {
      const g = crypto.randomBytes(1 + crypto.randomInt(1400));
      if (i % 3 === 0) g[0] = 0xfd;
      await send(g);
    }
  }],
  [`a flood of 10000 frames a second for ${floodSeconds} s`, async () => {
    const hb = new minimal.Heartbeat();
    hb.type = minimal.MavType.GCS;
    hb.autopilot = minimal.MavAutopilot.INVALID;
    const frames = [Buffer.from(v2.serialize(hb, 1)), command(12345), raw(300, Buffer.alloc(40, 7))];
    const end = Date.now() + floodSeconds * 1000;
    let sent = 0;
    while (Date.now() < end) {
      const tickEnd = Date.now() + 100;
      const batch = [];
      for (let i = 0; i < 1000; i += 1) batch.push(send(frames[i % frames.length]));
      await Promise.all(batch);
      sent += 1000;
      const left = tickEnd - Date.now();
      if (left > 0) await sleep(left);
    }
    console.log(`flood: ${sent} frames in ${floodSeconds} s`);
  }],
];

async function main() {
  await new Promise((resolve) => socket.bind(0, '127.0.0.1', resolve));
  await stillAnswers('before');
  for (const [name, run] of cases) {
    await run();
    await stillAnswers(name);
  }
  socket.close();
  process.exit(failures);
}

main().catch((e) => {
  console.log(`FAILED: ${e.stack}`);
  process.exit(100);
});
