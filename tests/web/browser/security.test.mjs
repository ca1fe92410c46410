// What the server refuses: a wrong token, a foreign Origin or Host, an
// oversized message, and a page's own project without --allow-page-projects.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { startServer, launchBrowser, openViewer, waitForReady } from './harness.mjs';

let server;
let browser;
before(async () => {
  server = await startServer(['--token', 'right-token']);
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  assert.equal(await server?.stop(), 0);
});

// The status the server answers a WebSocket upgrade with (101 when accepted).
function upgradeStatus({ token = 'right-token', origin = server.origin, host = `127.0.0.1:${server.port}` } = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({
      host: '127.0.0.1', port: server.port, path: `/ws?token=${encodeURIComponent(token)}`,
      headers: {
        Host: host, Origin: origin, Connection: 'Upgrade', Upgrade: 'websocket',
        'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==',
      },
      timeout: 5000,
    });
    request.on('upgrade', (response, socket) => { socket.destroy(); resolve(response.statusCode); });
    request.on('response', (response) => { response.resume(); resolve(response.statusCode); });
    request.on('timeout', () => request.destroy(new Error('no answer')));
    request.on('error', reject);
    request.end();
  });
}

test('the upgrade checks token, Origin and Host', async () => {
  assert.equal(await upgradeStatus(), 101);
  assert.equal(await upgradeStatus({ token: 'wrong-token' }), 401);
  assert.equal(await upgradeStatus({ token: '' }), 401);
  assert.equal(await upgradeStatus({ origin: 'http://attacker.example' }), 403);
  assert.equal(await upgradeStatus({ origin: '' }), 403);
  assert.equal(await upgradeStatus({ host: `attacker.example:${server.port}` }), 421);
});

test('an element with a wrong token never becomes ready', async () => {
  const page = await openViewer(browser, server, { token: 'wrong-token' });
  await page.evaluate(() => {
    window.__lost = 0;
    document.getElementById('v').addEventListener('connectionlost', () => window.__lost++);
  });
  await new Promise((r) => setTimeout(r, 1500));
  assert.equal(await page.evaluate(() => document.getElementById('v').connected), false);
  assert.equal(await page.evaluate(() => document.getElementById('v').frameCount), 0);
  await page.close();
});

test('an oversized message and a page project are refused', async () => {
  const page = await openViewer(browser, server, { token: 'right-token', params: { Project: '<quilo/>' } });
  await waitForReady(page);
  // The page's own project went unused, and the server said why (an error
  // event, which may come before a listener added now could see it).
  const texts = await page.evaluate(() => window.__sockets.texts.map((t) => JSON.parse(t)));
  assert.ok(texts.some((m) => m.t === 'event' && m.name === 'error' && /Project refused/.test(m.detail.message)),
            JSON.stringify(texts.slice(0, 3)));
  await assert.rejects(page.evaluate(() => document.getElementById('v').SetProjectXMLBuffer('<quilo/>')),
                       /own project/);
  await assert.rejects(page.evaluate(() => document.getElementById('v').ExecSilentURL('http://127.0.0.1/')),
                       /not enabled/);
  // 64 KiB of command: the session closes with 1009 and the element reconnects.
  const code = await page.evaluate(() => new Promise((resolve) => {
    const socket = new WebSocket(location.origin.replace('http', 'ws') + '/ws?token=right-token');
    socket.onopen = () => {
      socket.send(JSON.stringify({ t: 'hello', params: {}, width: 64, height: 48 }));
      socket.send(JSON.stringify({ t: 'call', id: 1, m: 'Home', a: ['x'.repeat(70000)] }));
    };
    socket.onclose = (e) => resolve(e.code);
  }));
  assert.equal(code, 1009);
  await page.close();
});
