// The page as a user and a page script see it: frames on the canvas, the
// automation members, pointer input, the context menu, size and visibility.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startServer, launchBrowser, openViewer, waitForFrames, waitForReady, waitForQuiet,
         canvasPixels, renderReference, meanDifference, inViewer } from './harness.mjs';

let server;
let browser;
before(async () => {
  server = await startServer();
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  assert.equal(await server?.stop(), 0);
});

// Runs `member(...args)` on the element and returns its result.
function call(page, member, ...args) {
  return page.evaluate((m, a) => document.getElementById('v')[m](...a), member, args);
}

// Collects the element's events named in `names` from now on.
async function recordEvents(page, names) {
  await page.evaluate((list) => {
    window.__events = [];
    const v = document.getElementById('v');
    for (const name of list) v.addEventListener(name, (e) => window.__events.push({ name, detail: e.detail }));
  }, names);
}

// Waits for a motionend whose position is near `target` (fields left out match anything).
async function waitForMotionEnd(page, target = {}) {
  await page.waitForFunction((want) => window.__events.some((e) => e.name === 'motionend' &&
      Object.entries(want).every(([k, v]) => Math.abs(e.detail[k] - v) < 0.02)),
    { timeout: 15000, polling: 50 }, target);
}

test('the canvas shows what vistel render shows at the same position', async () => {
  const page = await openViewer(browser, server);
  await waitForReady(page);
  await waitForQuiet(page);
  await call(page, 'SetPresetTime', 0);
  await recordEvents(page, ['motionend']);
  assert.equal(await call(page, 'GotoPosition', 0.5, 0, 0, 1), 1);
  await waitForMotionEnd(page, { navProgress: 0.5 });
  // Frames come while the pictures load; compare once they have stopped.
  await waitForQuiet(page);
  const canvas = await canvasPixels(page);
  assert.deepEqual([canvas.width, canvas.height], [640, 480]);
  const same = meanDifference(canvas, renderReference('640x480', '0.5;0,0;1;'));
  const other = meanDifference(canvas, renderReference('640x480', '0;0,0;1;'));
  assert.ok(same < 4, `mean difference ${same} from the same position`);
  assert.ok(other > 4 * same + 8, `mean difference ${other} from another position`);
  await page.close();
});

test('GotoPosition resolves 1 and viewchange events follow the motion', async () => {
  const page = await openViewer(browser, server);
  await waitForReady(page);
  await waitForQuiet(page);
  await call(page, 'SetPresetTime', 800);
  await recordEvents(page, ['viewchange', 'motionend']);
  assert.equal(await call(page, 'GotoPosition', 1, 0, 0, 1.5), 1);
  assert.equal(await call(page, 'GotoPosition', 2, 0, 0, 1), 0);  // out of range
  await waitForMotionEnd(page, { zoomFactor: 1.5 });
  const events = await page.evaluate(() => window.__events);
  const changes = events.filter((e) => e.name === 'viewchange').map((e) => e.detail);
  assert.ok(changes.length >= 5, `${changes.length} viewchange events`);
  for (let i = 1; i < changes.length; i++) {
    assert.ok(changes[i].navProgress >= changes[i - 1].navProgress, 'progress never goes back');
  }
  // The travel ends where the engine stops it on the link (just short of 1).
  const end = events.findLast((e) => e.name === 'motionend').detail;
  assert.ok(end.navProgress > 0.98 && Math.abs(end.zoomFactor - 1.5) < 1e-6, JSON.stringify(end));
  assert.equal(await call(page, 'GetBlendFactor'), end.navProgress);
  assert.equal(await call(page, 'GetZoomFactor'), end.zoomFactor);
  await page.close();
});

test('clicks and the wheel reach the frame pixels under the pointer of a scaled element', async () => {
  // 400 x 300 CSS pixels, shown at 1.5 times by a transform, at a device pixel ratio of 2.
  const page = await openViewer(browser, server, {
    style: 'width:400px;height:300px;position:absolute;left:50px;top:40px;transform:scale(1.5);transform-origin:0 0',
    deviceScaleFactor: 2,
  });
  await waitForReady(page);
  await waitForQuiet(page);
  const frame = await page.evaluate(() => {
    const c = document.getElementById('v').shadowRoot.querySelector('canvas');
    return [c.width, c.height];
  });
  assert.deepEqual(frame, [800, 600]);
  await recordEvents(page, ['motionend']);
  // The point a quarter across and a third down the element on screen.
  await page.mouse.click(50 + 600 * 0.25, 40 + 450 / 3);
  const down = await page.evaluate(() => window.__sockets.sent.find((m) => m.t === 'down'));
  assert.deepEqual([down.b, down.x, down.y], [0, 200, 200]);
  await waitForMotionEnd(page);  // click-to-go moved the view

  await call(page, 'SetZoom', 1);
  await page.evaluate(() => {
    window.__wheels = [];
    document.getElementById('v').addEventListener('wheel', (e) => window.__wheels.push(e.deltaY), true);
  });
  await page.mouse.move(300, 300);
  for (let i = 0; i < 3; i++) await page.mouse.wheel({ deltaY: -100 });  // away from the user
  await page.waitForFunction(() => window.__wheels.length === 3, { timeout: 5000, polling: 50 });
  // Each event's delta reaches the control in its units (120 a notch) ...
  const deltas = await page.evaluate(() => window.__wheels);
  await page.waitForFunction((n) => window.__sockets.sent.filter((m) => m.t === 'wheel').length === n,
                             { timeout: 5000, polling: 50 }, deltas.length);
  const sent = await page.evaluate(() => window.__sockets.sent.filter((m) => m.t === 'wheel').map((m) => m.d));
  assert.deepEqual(sent, deltas.map((d) => Math.round(-d * 1.2)));
  // ... which zooms by a sixth per whole notch, parts of a notch adding up.
  let zoom = 1;
  let part = 0;
  for (const d of sent) {
    part += d;
    const notches = Math.trunc(part / 120);
    part -= notches * 120;
    zoom = Math.fround(zoom + zoom * Math.fround(1 / 6) * notches);
  }
  assert.ok(zoom > 1.1, `the wheel should have zoomed in (${sent})`);
  await page.waitForFunction(async (want) => Math.abs(await document.getElementById('v').GetZoomFactor() - want) < 1e-3,
                             { timeout: 15000, polling: 100 }, zoom);
  await page.close();
});

test('the context menu offers the control\'s items and a snapshot downloads as a JPEG', async () => {
  const page = await openViewer(browser, server);
  const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'vistel-downloads-'));
  const cdp = await page.target().createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  await waitForReady(page);
  await waitForFrames(page, 1);
  const rect = await page.$eval('#v', (v) => { const r = v.getBoundingClientRect(); return { x: r.x, y: r.y }; });
  await page.mouse.click(rect.x + 200, rect.y + 150, { button: 'right' });
  const menu = await inViewer(page, '.menu');
  const labels = await menu.$$eval('li[role=menuitem]', (items) => items.map((i) => i.textContent));
  assert.deepEqual(labels, ['Zoom in', 'Zoom out', 'Maximize view', 'Save snapshot...',
                            'About Vistel Panorama viewer...']);
  const box = await menu.boundingBox();
  assert.ok(Math.abs(box.x - rect.x - 200) <= 1 && Math.abs(box.y - rect.y - 150) <= 1,
            `the menu opens at the pointer, not at ${box.x}, ${box.y}`);
  await page.evaluate(() => {
    window.__snapshot = null;
    document.getElementById('v').addEventListener('snapshot', async (e) => {
      window.__snapshot = { name: e.detail.name, head: Array.from(new Uint8Array(await e.detail.blob.arrayBuffer()).slice(0, 2)) };
    });
  });
  await (await menu.$('li[data-command="3"]')).click();
  const save = await inViewer(page, 'dialog[data-kind=save]');
  await save.$eval('input', (input) => { input.value = 'street.jpg'; });
  await (await save.$('button[data-role=save]')).click();
  await page.waitForFunction(() => window.__snapshot, { timeout: 10000 });
  assert.deepEqual(await page.evaluate(() => window.__snapshot), { name: 'street.jpg', head: [0xff, 0xd8] });
  const file = path.join(downloads, 'street.jpg');
  for (let i = 0; i < 100 && !fs.existsSync(file); i++) await new Promise((r) => setTimeout(r, 50));
  assert.deepEqual([...fs.readFileSync(file).subarray(0, 2)], [0xff, 0xd8]);

  // The About box, closed again.
  await page.mouse.click(100, 100, { button: 'right' });
  await (await inViewer(page, 'li[data-command="1"]')).click();
  const about = await inViewer(page, 'dialog[data-kind=about]');
  assert.match(await about.evaluate((d) => d.textContent), /Independent JPEG Group/);
  await (await about.$('button')).click();
  await page.close();
});

test('the frames follow the element\'s size', async () => {
  const page = await openViewer(browser, server);
  await waitForReady(page);
  await waitForFrames(page, 1);
  await page.evaluate(() => {
    window.__sizes = [];
    const v = document.getElementById('v');
    v.addEventListener('frame', (e) => window.__sizes.push([e.detail.width, e.detail.height]));
    v.style.width = '320px';
    v.style.height = '200px';
  });
  await page.waitForFunction(() => window.__sizes.some(([w, h]) => w === 320 && h === 200),
                             { timeout: 10000, polling: 50 });
  await page.close();
});

test('a hidden or scrolled-away page gets no frames', async () => {
  const page = await openViewer(browser, server, { after: '<div style="height:3000px"></div>' });
  await waitForReady(page);
  await waitForFrames(page, 1);
  const settle = () => new Promise((r) => setTimeout(r, 300));
  const binaries = () => page.evaluate(() => window.__sockets.binary);

  await page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await settle();
  let before = await binaries();
  // A still project sends nothing anyway: a motion would draw many frames.
  assert.equal(await call(page, 'GotoPosition', 0.5, 0, 0, 1), 1);
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(await binaries(), before, 'frames while the page was hidden');

  await page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'visible' });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await page.waitForFunction((n) => window.__sockets.binary > n + 2, { timeout: 10000 }, before);

  await page.evaluate(() => window.scrollTo(0, 2000));
  await settle();
  before = await binaries();
  assert.equal(await call(page, 'GotoPosition', 0, 0, 0, 1), 1);
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(await binaries(), before, 'frames while the element was out of view');
  const shows = await page.evaluate(() => window.__sockets.sent.filter((m) => m.t === 'show').map((m) => m.v));
  assert.deepEqual(shows, [false, true, false]);
  await page.close();
});

test('the element reconnects by itself when its server comes back', async () => {
  const own = await startServer();
  const page = await openViewer(browser, own);
  await waitForReady(page);
  await waitForFrames(page, 1);
  await recordEvents(page, ['connectionlost', 'connectionrestored', 'ready']);
  assert.equal(await own.stop(), 0);
  await page.waitForFunction(() => window.__events.some((e) => e.name === 'connectionlost'),
                             { timeout: 10000, polling: 50 });
  await assert.rejects(call(page, 'GetZoomFactor'));  // no session: the call is refused
  // Counted before the server is back: a still project draws only the new
  // session's first frame, which may come with the restored event.
  const drawn = await page.evaluate(() => document.getElementById('v').frameCount);
  const again = await startServer(undefined, own.port);  // the same address
  try {
    await page.waitForFunction(() => window.__events.some((e) => e.name === 'connectionrestored'),
                               { timeout: 15000, polling: 50 });
    await waitForFrames(page, drawn + 1);
    assert.equal(await call(page, 'GotoPosition', 0.5, 0, 0, 1), 1);
    await page.close();
  } finally {
    assert.equal(await again.stop(), 0);
  }
});
