// Shared by the browser tests: a real `vistel serve` on 127.0.0.1 and
// Debian's Chromium driven by puppeteer-core. Everything is started by the
// test and stopped by it, and every wait is bounded.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export const cli = process.env.VISTEL_CLI;
export const sourceDir = process.env.VISTEL_SOURCE_DIR ||
  path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../..');
export const demo = path.join(sourceDir, 'examples/demo/demo.xml');
const chromium = process.env.VISTEL_CHROMIUM || '/usr/bin/chromium';

if (!cli) throw new Error('VISTEL_CLI must name the built vistel program');

// Starts `vistel serve ARGS` on a free loopback port; resolves once it prints
// its address.
export function startServer(args = [demo], port = 0) {
  const child = spawn(cli, ['serve', '--listen', `127.0.0.1:${port}`, ...args],
                      { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  // A test run that ends early (a failed hook, a time-out) takes its server along.
  const orphan = () => child.kill('SIGKILL');
  process.once('exit', orphan);
  child.once('exit', () => process.off('exit', orphan));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('serve did not start: ' + stderr)); }, 10000);
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      const match = /serving (http:\/\/\S+)/.exec(out);
      if (!match) return;
      clearTimeout(timer);
      const url = new URL(match[1]);
      resolve({
        url: match[1], port: Number(url.port), origin: url.origin, stderr: () => stderr,
        stop: () => new Promise((done) => {
          if (child.exitCode !== null) return done(child.exitCode);
          child.once('exit', (code) => done(code));
          child.kill('SIGTERM');
          setTimeout(() => child.kill('SIGKILL'), 5000).unref();
        }),
      });
    });
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`serve exited ${code}: ${stderr}`)); });
  });
}

export async function launchBrowser() {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: fs.mkdtempSync(path.join(os.tmpdir(), 'vistel-chromium-')),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-renderer-backgrounding', '--disable-background-timer-throttling',
           // Test pages are made up by the test (request interception), which
           // Chromium takes for public pages reaching a local server.
           '--disable-features=LocalNetworkAccessChecks'],
    protocolTimeout: 30000,
  });
}

// Records what the page's WebSockets send and how many binary messages they get.
function instrumentSockets() {
  const Native = window.WebSocket;
  window.__sockets = { sent: [], binary: 0, closes: [] };
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (e) => { if (typeof e.data !== 'string') window.__sockets.binary++; else (window.__sockets.texts = window.__sockets.texts || []).push(e.data); });
      this.addEventListener('close', (e) => window.__sockets.closes.push(e.code));
    }
    send(data) {
      if (typeof data === 'string') window.__sockets.sent.push(JSON.parse(data));
      super.send(data);
    }
  };
}

// A page holding one <vistel-viewer> styled by `style`, with `params`. In a
// window of its own when `ownWindow` (tabs behind another are hidden and get
// no frames).
export async function openViewer(browser, server, { ownWindow = false, style = 'width:640px;height:480px', params = {},
  token = '', deviceScaleFactor = 1, before = '', after = '' } = {}) {
  const page = await (ownWindow ? await browser.createBrowserContext() : browser).newPage();
  await page.setViewport({ width: 1000, height: 800, deviceScaleFactor });
  await page.evaluateOnNewDocument(instrumentSockets);
  page.on('pageerror', (e) => console.error('page error:', e.message));
  const paramHtml = Object.entries(params)
    .map(([n, v]) => `<param name="${n}" value="${String(v).replace(/"/g, '&quot;')}">`).join('');
  const html = `<!doctype html><html><head><script src="vistel.js"></script></head>
    <body style="margin:0">${before}<vistel-viewer id="v" style="${style}"
    ${token ? `token="${token}"` : ''}>${paramHtml}</vistel-viewer>${after}</body></html>`;
  // The test page is made up here but served under the server's own origin,
  // so the session's Origin check sees the server's page.
  const pageUrl = server.url.split('?')[0] + 'test-page.html';
  await page.setRequestInterception(true);
  page.on('request', (request) => {
    if (request.url() === pageUrl) {
      request.respond({ status: 200, contentType: 'text/html', body: html });
    } else {
      request.continue();
    }
  });
  await page.goto(pageUrl);
  return page;
}

// Resolves when the element has drawn `count` frames (bounded).
export async function waitForFrames(page, count, timeout = 15000) {
  await page.waitForFunction((n) => document.getElementById('v').frameCount >= n,
                             { timeout, polling: 50 }, count);
}

export async function waitForReady(page, timeout = 15000) {
  await page.waitForFunction(() => document.getElementById('v').connected, { timeout, polling: 50 });
}

// The element's canvas as RGB bytes.
export async function canvasPixels(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById('v').shadowRoot.querySelector('canvas');
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    return { width: canvas.width, height: canvas.height, rgba: Array.from(data) };
  });
}

// `vistel render` of the demo at a position, as RGB bytes (a PPM, lossless).
export function renderReference(size, position) {
  const out = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'vistel-ref-')), 'ref.ppm');
  execFileSync(cli, ['render', demo, '--size', size, '--goto', position, '--preset-time', '0',
                     '--out', out], { stdio: 'ignore', timeout: 30000 });
  const bytes = fs.readFileSync(out);
  // P6, width, height, 255, each ended by one white space.
  let at = 0;
  const fields = [];
  while (fields.length < 4) {
    while (/\s/.test(String.fromCharCode(bytes[at]))) at++;
    let field = '';
    while (!/\s/.test(String.fromCharCode(bytes[at]))) field += String.fromCharCode(bytes[at++]);
    fields.push(field);
  }
  return { width: Number(fields[1]), height: Number(fields[2]), rgb: bytes.subarray(at + 1) };
}

// Mean absolute difference per channel between a canvas and a reference.
export function meanDifference(canvas, reference) {
  let sum = 0;
  const pixels = reference.width * reference.height;
  for (let i = 0; i < pixels; i++) {
    for (let c = 0; c < 3; c++) sum += Math.abs(canvas.rgba[i * 4 + c] - reference.rgb[i * 3 + c]);
  }
  return sum / (pixels * 3);
}

// Resolves once the element has drawn a frame and then `settleMs` have
// passed, or no frame came for that long (the engine renders when the picture
// changes, and camera pictures may change all the time).
export async function waitForQuiet(page, settleMs = 1000, timeout = 15000) {
  await waitForFrames(page, 1, timeout);
  await new Promise((r) => setTimeout(r, settleMs));
  return page.evaluate(() => document.getElementById('v').frameCount);
}

// The first element matching `selector` inside the viewer's shadow root, once
// there (polled: shadow trees are not watched by selector waits).
export async function inViewer(page, selector, timeout = 10000) {
  const handle = await page.waitForFunction(
    (s) => document.getElementById('v').shadowRoot.querySelector(s), { timeout, polling: 50 }, selector);
  return handle.asElement();
}
