// A MAVLink 2 ground station for the system tests, built on node-mavlink as a
// third-party station would be: it listens on UDP 14550 for the camera's
// heartbeat, then talks to the board's port and checks the camera protocol.
//
//   node station.js STEP...
//
// Steps run in order; each prints "ok: ..." or "FAILED: ..." lines, and the
// exit status is the number of failures.
//   discover          the camera's heartbeat; information, settings, storage,
//                     capture status
//   captured=N        waits for a photo taken by another link (index N)
//   position          the vehicle's heartbeat and GLOBAL_POSITION_INT
//   storage=ready|empty  the card's state in STORAGE_INFORMATION
//   photo=N           a photo, answered by CAMERA_IMAGE_CAPTURED with index N
//   record=S          S seconds of video with rising recording time
//   mode=image|video  the camera mode, seen in CAMERA_SETTINGS
//   format            the card formatted: no photo left to ask for
//   stream=S          asks for the stream information, then stays a live
//                     station for S seconds (the RTP live view runs meanwhile)
//   refuse=KIND       a refused command: "photo" (no card) answers DENIED
'use strict';

const dgram = require('dgram');
const { PassThrough } = require('stream');
const {
  MavLinkPacketSplitter, MavLinkPacketParser, MavLinkProtocolV2, minimal, common,
} = require('node-mavlink');

const BOARD_PORT = 14555;
const STATION_PORT = 14550;
const SYSID = 255;
const COMPID = 190;
const CAMERA = 100;
const REGISTRY = { ...minimal.REGISTRY, ...common.REGISTRY };

let failures = 0;
function check(what, ok, detail = '') {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}${detail ? ` (${detail})` : ''}`);
  if (!ok) failures += 1;
  return ok;
}

const protocol = new MavLinkProtocolV2(SYSID, COMPID);
const socket = dgram.createSocket('udp4');
const input = new PassThrough();
const waiters = [];
let seq = 0;
let board = null;  // the camera's system id, from its heartbeat

input.pipe(new MavLinkPacketSplitter()).pipe(new MavLinkPacketParser()).on('data', (packet) => {
  const clazz = REGISTRY[packet.header.msgid];
  if (!clazz) return;
  const msg = { id: packet.header.msgid, sysid: packet.header.sysid, compid: packet.header.compid,
    data: packet.protocol.data(packet.payload, clazz) };
  for (const w of [...waiters]) {
    if (w.match(msg)) {
      waiters.splice(waiters.indexOf(w), 1);
      w.resolve(msg);
    }
  }
});
socket.on('message', (buf) => input.write(buf));

function next(match, ms = 3000) {
  return new Promise((resolve) => {
    const w = { match, resolve };
    waiters.push(w);
    setTimeout(() => {
      const at = waiters.indexOf(w);
      if (at >= 0) {
        waiters.splice(at, 1);
        resolve(null);
      }
    }, ms);
  });
}

function send(msg) {
  const bytes = protocol.serialize(msg, seq++ & 0xff);
  socket.send(bytes, BOARD_PORT, '127.0.0.1');
}

function heartbeat() {
  const hb = new minimal.Heartbeat();
  hb.type = minimal.MavType.GCS;
  hb.autopilot = minimal.MavAutopilot.INVALID;
  hb.mavlinkVersion = 3;
  send(hb);
}

// A command to the camera, answered by its COMMAND_ACK (null if none came).
async function command(number, params = [], ms = 3000) {
  const c = new common.CommandLong();
  c.targetSystem = board;
  c.targetComponent = CAMERA;
  c.command = number;
  [c._param1, c._param2, c._param3, c._param4, c._param5, c._param6, c._param7] =
    [0, 0, 0, 0, 0, 0, 0].map((v, i) => (params[i] === undefined ? v : params[i]));
  const ack = next((m) => m.id === common.CommandAck.MSG_ID && m.data.command === number, ms);
  send(c);
  return ack;
}

async function request(msgClass, param2 = 0) {
  const reply = next((m) => m.id === msgClass.MSG_ID && m.compid === CAMERA);
  const ack = await command(512, [msgClass.MSG_ID, param2]);
  return { ack, msg: ack && ack.data.result === 0 ? await reply : null };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const steps = {
  async discover() {
    const hb = await next((m) => m.id === 0 && m.compid === CAMERA && m.data.type === 30, 15000);
    if (!check('the camera heartbeat reaches port 14550', hb !== null)) return;
    board = hb.sysid;
    check('camera: component 100, type camera, autopilot invalid',
      hb.data.autopilot === minimal.MavAutopilot.INVALID, `system ${board}`);
    const info = await request(common.CameraInformation);
    check('CAMERA_INFORMATION after an accepted request', info.msg !== null);
    if (info.msg) {
      const f = info.msg.data.flags;
      check('it captures video and images, has modes and a video stream',
        (f & 1) && (f & 2) && (f & 4) && (f & 256), `flags ${f}`);
      check('with the recording resolution', info.msg.data.resolutionH > 0,
        `${info.msg.data.resolutionH}x${info.msg.data.resolutionV}`);
      check('the ack names the requester',
        info.ack.data.targetSystem === SYSID && info.ack.data.targetComponent === COMPID);
    }
    const settings = await request(common.CameraSettings);
    check('CAMERA_SETTINGS', settings.msg !== null, settings.msg && `mode ${settings.msg.data.modeId}`);
    const storage = await request(common.StorageInformation);
    check('STORAGE_INFORMATION', storage.msg !== null, storage.msg &&
      `status ${storage.msg.data.status}, ${storage.msg.data.availableCapacity} of ${storage.msg.data.totalCapacity} MiB`);
    const status = await request(common.CameraCaptureStatus);
    check('CAMERA_CAPTURE_STATUS: idle', status.msg && status.msg.data.videoStatus === 0);
  },

  async captured(index) {
    const img = await next((m) => m.id === common.CameraImageCaptured.MSG_ID, 30000);
    check(`a photo taken by another link is announced with index ${index}`,
      img !== null && img.data.imageIndex === Number(index), img && `index ${img.data.imageIndex}`);
  },

  async position() {
    const hb = await next((m) => m.id === 0 && m.compid === 1, 5000);
    check('the vehicle: component 1, a quadrotor, generic autopilot',
      hb !== null && hb.data.type === minimal.MavType.QUADROTOR &&
      hb.data.autopilot === minimal.MavAutopilot.GENERIC);
    const first = await next((m) => m.id === common.GlobalPositionInt.MSG_ID && m.compid === 1, 5000);
    const t0 = Date.now();
    let count = first ? 1 : 0;
    while (Date.now() - t0 < 3000) {
      if (await next((m) => m.id === common.GlobalPositionInt.MSG_ID && m.compid === 1, 1500)) count += 1;
    }
    check('GLOBAL_POSITION_INT from the flight controller\'s fix', first !== null &&
      first.data.lat > 40e7, first && `${first.data.lat / 1e7}, ${first.data.lon / 1e7}`);
    check('at about 2 Hz', count >= 5 && count <= 9, `${count} in 3 s`);
  },

  async storage(state) {
    const s = await request(common.StorageInformation);
    if (state === 'ready') {
      check('the card is ready, with its size in MiB',
        s.msg && s.msg.data.status === 2 && s.msg.data.totalCapacity > 0);
    } else {
      check('no card: storage status 0 and no sizes',
        s.msg && s.msg.data.status === 0 && s.msg.data.totalCapacity === 0);
    }
  },

  async photo(index) {
    const captured = next((m) => m.id === common.CameraImageCaptured.MSG_ID, 20000);
    const sequence = seq + 1;
    const ack = await command(2000, [0, 0, 1, sequence]);
    check('image start capture accepted', ack && ack.data.result === 0, ack && `result ${ack.data.result}`);
    // A station's retry of the same numbered request is answered, not shot again.
    const retry = await command(2000, [0, 0, 1, sequence]);
    check('its retry is accepted too', retry && retry.data.result === 0);
    const img = await captured;
    if (!check('CAMERA_IMAGE_CAPTURED', img !== null)) return;
    const second = await next((m) => m.id === common.CameraImageCaptured.MSG_ID, 4000);
    check('one photo for the request and its retry', second === null);
    check(`image index ${index}`, img.data.imageIndex === Number(index), `index ${img.data.imageIndex}`);
    check('capture result 1, with the file', img.data.captureResult === 1 && img.data.fileUrl.length > 0,
      img.data.fileUrl);
    console.log(`file: ${img.data.fileUrl}`);
  },

  async record(seconds) {
    const ack = await command(2500, [0, 1]);
    if (!check('video start capture accepted', ack && ack.data.result === 0,
      ack && `result ${ack.data.result}`)) return;
    // The camera may first switch to record mode: the seconds count from the
    // first report of a running recording.
    let started = false;
    for (let i = 0; i < 30 && !started; i += 1) {
      await sleep(500);
      heartbeat();
      const s = await request(common.CameraCaptureStatus);
      started = s.msg !== null && s.msg.data.videoStatus === 1;
    }
    check('the recording runs', started);
    let last = -1;
    let rising = 0;
    let recording = 0;
    const end = Date.now() + Number(seconds) * 1000;
    while (Date.now() < end) {
      await sleep(1000);
      heartbeat();
      const s = await request(common.CameraCaptureStatus);
      if (!s.msg) continue;
      if (s.msg.data.videoStatus === 1) recording += 1;
      if (s.msg.data.recordingTimeMs > last && last >= 0) rising += 1;
      last = s.msg.data.recordingTimeMs;
    }
    check('capture status shows video_status 1 while recording', recording >= 3, `${recording} reports`);
    check('with a rising recording time', rising >= 2, `last ${last} ms`);
    const stop = await command(2501);
    check('video stop capture accepted', stop && stop.data.result === 0);
    await sleep(1500);
    const after = await request(common.CameraCaptureStatus);
    check('idle again', after.msg && after.msg.data.videoStatus === 0);
  },

  async mode(which) {
    const want = which === 'video' ? 1 : 0;
    const ack = await command(530, [0, want]);
    check(`set camera mode ${which} accepted`, ack && ack.data.result === 0);
    let seen = -1;
    for (let i = 0; i < 10 && seen !== want; i += 1) {
      await sleep(500);
      const s = await request(common.CameraSettings);
      if (s.msg) seen = s.msg.data.modeId;
    }
    check(`CAMERA_SETTINGS shows mode ${want}`, seen === want);
  },

  async format() {
    const ack = await command(526, [1, 1]);
    check('storage format accepted', ack && ack.data.result === 0);
    let ready = false;
    for (let i = 0; i < 20 && !ready; i += 1) {
      await sleep(500);
      heartbeat();
      const s = await request(common.StorageInformation);
      ready = s.msg !== null && s.msg.data.status === 2;
    }
    check('the card is ready again', ready);
    const status = await request(common.CameraCaptureStatus);
    check('image count back to 0', status.msg && status.msg.data.imageCount === 0);
    const old = await command(2002, [0]);
    check('no photo 0 left to ask for', old && old.data.result !== 0);
  },

  async stream(seconds) {
    const info = await request(common.VideoStreamInformation);
    check('VIDEO_STREAM_INFORMATION: RTP/UDP on udp://0.0.0.0:5600, H.264',
      info.msg && info.msg.data.type === 1 && info.msg.data.uri === 'udp://0.0.0.0:5600' &&
      info.msg.data.encoding === 1,
      info.msg && `${info.msg.data.resolutionH}x${info.msg.data.resolutionV}`);
    const end = Date.now() + Number(seconds) * 1000;
    while (Date.now() < end) {
      heartbeat();
      await sleep(1000);
    }
  },

  async refuse(kind) {
    if (kind === 'photo') {
      const ack = await command(2000, [0, 0, 1, seq + 1]);
      check('a photo without a card is refused, not accepted', ack && ack.data.result !== 0,
        ack && `result ${ack.data.result}`);
    }
  },
};

async function main() {
  await new Promise((resolve, reject) => {
    socket.once('error', reject);
    socket.bind(STATION_PORT, '127.0.0.1', resolve);
  });
  for (const arg of process.argv.slice(2)) {
    const [name, value] = arg.split('=');
    if (!steps[name]) {
      check(`known step ${name}`, false);
      continue;
    }
    if (name !== 'discover' && board === null) await steps.discover();
    heartbeat();
    await steps[name](value);
  }
  socket.close();
  process.exit(failures);
}

main().catch((e) => {
  console.log(`FAILED: ${e.stack}`);
  process.exit(100);
});
