// Drives the board's page in headless Chromium (Debian's, through
// playwright-core) as a user would:
//   node browser.mjs URL VBCTL ARTEFACT_DIR
// Prints "ok: ..." or "FAILED: ..." per check and "N passed, M failed";
// exits 1 when a check failed. Screenshots at phone and laptop sizes go to
// ARTEFACT_DIR.
import { execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { chromium } from 'playwright-core';

const [url, vbctl, artefacts] = process.argv.slice(2);
const WAIT = 60000;  // generous: the board runs under the sanitizers on a loaded host
let passed = 0;
let failed = 0;

async function check(what, fn) {
  try {
    await fn();
    passed++;
    console.log('ok: ' + what);
    return true;
  } catch (e) {
    failed++;
    console.log('FAILED: ' + what + ' (' + String(e.message).split('\n')[0] + ')');
    return false;
  }
}

function assert(cond, text) { if (!cond) throw new Error(text); }

mkdirSync(artefacts, { recursive: true });
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required'],
});
const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
page.on('dialog', (d) => d.accept());
page.on('pageerror', (e) => console.log('page error: ' + e.message));

await check('the page loads', async () => {
  const res = await page.goto(url);
  assert(res.ok(), 'status ' + res.status());
});
await check('the page sees the status and the card', async () => {
  await page.waitForFunction(() => document.getElementById('st-link').textContent === 'connected', null, { timeout: WAIT });
  await page.waitForFunction(() => /GiB free/.test(document.getElementById('card-text').textContent), null, { timeout: WAIT });
});

// Decoded frames and stream time over 5 s of the live view.
async function livePlays() {
  await page.waitForFunction(() => document.getElementById('live').readyState >= 2, null, { timeout: WAIT });
  const sample = () => page.evaluate(() => {
    const v = document.getElementById('live');
    return { frames: v.getVideoPlaybackQuality().totalVideoFrames, time: v.currentTime };
  });
  const before = await sample();
  await page.waitForTimeout(5000);
  const after = await sample();
  console.log('live view: ' + (after.frames - before.frames) + ' frames, ' +
    (after.time - before.time).toFixed(2) + ' s of stream in 5 s');
  assert(after.frames - before.frames >= 50, (after.frames - before.frames) + ' frames');
  assert(after.time > before.time, 'currentTime stood still');
}

await check('the live view plays: 50 frames decoded in 5 s and its time advances', livePlays);
await check('the live view shows its delay', async () => {
  await page.waitForFunction(() => / ms$/.test(document.getElementById('live-delay').textContent), null, { timeout: WAIT });
});

await page.screenshot({ path: artefacts + '/page-1280x800.png', fullPage: false });

await check('a recording started from the phone shows in the page', async () => {
  execFileSync(vbctl, ['record', 'start'], { stdio: 'ignore' });
  await page.waitForFunction(() => !document.getElementById('st-rec').hidden, null, { timeout: WAIT });
  execFileSync(vbctl, ['record', 'stop'], { stdio: 'ignore' });
  await page.waitForFunction(() => document.getElementById('st-rec').hidden, null, { timeout: WAIT });
});

const videoNames = () => page.evaluate(() =>
  [...document.querySelectorAll('#media li')].map((li) => li.dataset.name).filter((n) => /_AA\.MP4$/.test(n)));
const namesBefore = await videoNames();

let recorded = null;
await check('a 5 s recording with the button appears in the gallery with its thumbnail', async () => {
  await page.click('#btn-record');
  await page.waitForFunction(() => !document.getElementById('st-rec').hidden, null, { timeout: WAIT });
  await page.waitForTimeout(5000);  // the clip's length
  await page.click('#btn-record');
  await page.waitForFunction(() => document.getElementById('st-rec').hidden, null, { timeout: WAIT });
  await page.waitForFunction((old) => {
    const li = [...document.querySelectorAll('#media li')].find((e) => /_AA\.MP4$/.test(e.dataset.name) && !old.includes(e.dataset.name));
    const img = li && li.querySelector('img');
    return img && img.complete && img.naturalWidth === 160;
  }, namesBefore, { timeout: WAIT, polling: 500 });
  recorded = (await videoNames()).find((n) => !namesBefore.includes(n));
});

await check('a recording plays in the page and seeks', async () => {
  assert(recorded, 'no recording');
  await page.click(`#media li[data-name="${recorded}"] .play`);
  await page.waitForFunction(() => document.getElementById('player-video').readyState >= 2, null, { timeout: WAIT });
  const seeked = await page.evaluate(() => new Promise((resolve) => {
    const v = document.getElementById('player-video');
    v.pause();
    const target = Math.min(3, v.duration / 2);
    v.addEventListener('seeked', () => resolve({ target, now: v.currentTime }), { once: true });
    v.currentTime = target;
  }));
  assert(Math.abs(seeked.now - seeked.target) < 0.5, JSON.stringify(seeked));
  await page.click('#player-close');
});

let photo = null;
await check('a photo taken with the button appears in the gallery', async () => {
  await page.click('#btn-photo');
  await page.click('#tab-photo');
  await page.waitForFunction(() => {
    const img = document.querySelector('#media li img');
    return img && img.complete && img.naturalWidth === 160;
  }, null, { timeout: WAIT, polling: 1000 });
  photo = await page.evaluate(() => document.querySelector('#media li').dataset.name);
  assert(/\.JPG$/.test(photo), photo);
});

await check('a file is deleted after the confirmation', async () => {
  assert(photo, 'no photo');
  await page.click(`#media li[data-name="${photo}"] .delete`);
  await page.waitForFunction((n) => !document.querySelector(`#media li[data-name="${n}"]`), photo, { timeout: WAIT });
  const res = await page.request.get(url + '/media/' + photo);
  assert(res.status() === 404, 'still served: ' + res.status());
});

await check('the GPS track is drawn', async () => {
  await page.waitForFunction(() => document.getElementById('track-line').getAttribute('points').split(' ').length >= 2,
    null, { timeout: WAIT });
});

await check('the live view plays on after the mode switches', livePlays);

await page.click('#tab-video');
await page.setViewportSize({ width: 390, height: 844 });
await page.waitForTimeout(500);  // the layout settles before the picture
await page.screenshot({ path: artefacts + '/page-390x844.png', fullPage: true });
await page.setViewportSize({ width: 1280, height: 800 });
await page.screenshot({ path: artefacts + '/page-1280x800-gallery.png', fullPage: true });

await browser.close();
console.log(passed + ' passed, ' + failed + ' failed');
process.exit(failed === 0 ? 0 : 1);
