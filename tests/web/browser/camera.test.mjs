// Cameras behind a password: the page asks for it, and the view appears.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import http from 'node:http';
import path from 'node:path';
import { startServer, launchBrowser, openViewer, waitForReady, waitForQuiet, waitForFrames,
         canvasPixels,
         sourceDir, inViewer } from './harness.mjs';

const pictures = {
  '/left.jpg': fs.readFileSync(path.join(sourceDir, 'examples/demo/left.jpg')),
  '/right.jpg': fs.readFileSync(path.join(sourceDir, 'examples/demo/right.jpg')),
};
const expected = 'Basic ' + Buffer.from('viewer:street').toString('base64');

let camera;
let requests = [];
let browser;
before(async () => {
  camera = http.createServer((request, response) => {
    requests.push({ url: request.url, authorized: request.headers.authorization === expected });
    const picture = pictures[request.url];
    if (!picture) return response.writeHead(404).end();
    if (request.headers.authorization !== expected) {
      return response.writeHead(401, { 'WWW-Authenticate': 'Basic realm="camera"' }).end();
    }
    response.writeHead(200, { 'Content-Type': 'image/jpeg', 'Content-Length': picture.length }).end(picture);
  });
  await new Promise((resolve) => camera.listen(0, '127.0.0.1', resolve));
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  camera?.close();
});

test('a camera that answers 401 prompts in the page, and the view appears after the password', async () => {
  const base = `http://127.0.0.1:${camera.address().port}`;
  const server = await startServer(['--param', `topCameraAddress=${base}/left.jpg`,
                                    '--param', `bottomCameraAddress=${base}/right.jpg`]);
  try {
    const page = await openViewer(browser, server);
    // One prompt for each camera (nothing is remembered).
    for (let i = 0; i < 2; i++) {
      const dialog = await inViewer(page, 'dialog[data-kind=credentials]');
      assert.match(await dialog.evaluate((d) => d.textContent), /Authorization needed for: 127\.0\.0\.1/);
      await dialog.$eval('input[name=user]', (input) => { input.value = 'viewer'; });
      // OK with an empty password keeps the dialog open.
      await (await dialog.$('button[data-role=ok]')).click();
      assert.equal(await dialog.evaluate((d) => d.open), true);
      await dialog.$eval('input[name=password]', (input) => { input.value = 'street'; });
      await (await dialog.$('button[data-role=ok]')).click();
      await page.waitForFunction((d) => !d.isConnected, { timeout: 5000 }, dialog);
    }
    await waitForReady(page);
    // The camera pictures arrive with the credentials, and frames show them.
    const start = Date.now();
    while (!requests.some((r) => r.authorized && r.url === '/right.jpg') && Date.now() - start < 15000) {
      await new Promise((r) => setTimeout(r, 100));
    }
    await waitForQuiet(page);
    const canvas = await canvasPixels(page);
    let sum = 0;
    let sumSquares = 0;
    const n = canvas.width * canvas.height;
    for (let i = 0; i < n; i++) {
      const grey = (canvas.rgba[i * 4] + canvas.rgba[i * 4 + 1] + canvas.rgba[i * 4 + 2]) / 3;
      sum += grey;
      sumSquares += grey * grey;
    }
    const deviation = Math.sqrt(sumSquares / n - (sum / n) ** 2);
    assert.ok(deviation > 25, `the canvas is nearly flat (deviation ${deviation})`);
    // The project a page reads holds no password.
    const project = await page.evaluate(() => document.getElementById('v').Project());
    assert.match(project, /\*\*\*:\*\*\*@127\.0\.0\.1/);
    assert.doesNotMatch(project, /street/);
    await page.close();
  } finally {
    assert.equal(await server.stop(), 0);
  }
  assert.doesNotMatch(server.stderr(), /street/);
});

test('two pages on the same camera open one camera connection', async () => {
  const picture = pictures['/left.jpg'];
  let connections = 0;
  let open = 0;
  let mostOpen = 0;
  const stream = http.createServer((request, response) => {
    connections++;
    open++;
    mostOpen = Math.max(mostOpen, open);
    response.writeHead(200, { 'Content-Type': 'multipart/x-mixed-replace; boundary=frame' });
    const send = () => {
      response.write(`--frame\r\nContent-Type: image/jpeg\r\nContent-Length: ${picture.length}\r\n\r\n`);
      response.write(picture);
      response.write('\r\n');
    };
    send();
    const timer = setInterval(send, 100);
    response.on('close', () => { clearInterval(timer); open--; });
  });
  await new Promise((resolve) => stream.listen(0, '127.0.0.1', resolve));
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vistel-shared-'));
  const project = path.join(folder, 'one-camera.xml');
  fs.writeFileSync(project, `<quilo startview="a"><view id="a" lens="none" fps="10" src="http://127.0.0.1:${stream.address().port}/video.mjpg"/></quilo>`);
  const server = await startServer([project]);
  try {
    const pages = [await openViewer(browser, server, { ownWindow: true }),
                   await openViewer(browser, server, { ownWindow: true })];
    for (const page of pages) {
      await waitForReady(page);
      await waitForFrames(page, 3);
      // Both show the camera's picture (the placeholder is nearly flat).
      const canvas = await canvasPixels(page);
      const grey = (i) => (canvas.rgba[i * 4] + canvas.rgba[i * 4 + 1] + canvas.rgba[i * 4 + 2]) / 3;
      let low = 255;
      let high = 0;
      for (let i = 0; i < canvas.width * canvas.height; i += 7) {
        low = Math.min(low, grey(i));
        high = Math.max(high, grey(i));
      }
      assert.ok(high - low > 100, `page shows no camera picture (${low}..${high})`);
    }
    assert.equal(mostOpen, 1, 'camera connections open at once');
    // The first question about the camera's kind may be a connection of its own.
    assert.ok(connections <= 2, `${connections} camera connections`);
    for (const page of pages) await page.close();
  } finally {
    assert.equal(await server.stop(), 0);
    stream.closeAllConnections();
    stream.close();
  }
});
