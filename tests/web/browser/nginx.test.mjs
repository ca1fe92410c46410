// examples/nginx/vistel.conf in front of two `vistel serve` processes: TLS
// with a certificate made here, the WebSocket upgrade through nginx, and one
// backend per browser.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { cli, demo, sourceDir, launchBrowser } from './harness.mjs';

const nginxPath = ['/usr/sbin/nginx', '/usr/bin/nginx'].find((p) => fs.existsSync(p));
const children = [];
// A run that ends early takes its servers along.
process.once('exit', () => { for (const child of children) child.kill('SIGKILL'); });
let folder;
let port;
let browser;

function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer().listen(0, '127.0.0.1', () => {
      const { port: p } = probe.address();
      probe.close(() => resolve(p));
    });
  });
}

function started(child, pattern, what) {
  return new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`${what} did not start: ${out}`)), 10000);
    const look = (d) => {
      out += d;
      if (pattern.test(out)) { clearTimeout(timer); resolve(); }
    };
    child.stdout?.on('data', look);
    child.stderr?.on('data', look);
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`${what} exited ${code}: ${out}`)); });
  });
}

async function waitForPort(p) {
  for (let i = 0; i < 100; i++) {
    const ok = await new Promise((resolve) => {
      const socket = net.connect(p, '127.0.0.1', () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`nothing listens on ${p}`);
}

function get(url) {
  return new Promise((resolve, reject) => {
    https.get(url, { rejectUnauthorized: false, timeout: 5000 }, (response) => {
      let body = '';
      response.on('data', (d) => { body += d; });
      response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, body }));
    }).on('error', reject);
  });
}

before(async () => {
  if (!nginxPath) return;
  folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vistel-nginx-'));
  fs.mkdirSync(path.join(folder, 'tmp'));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', '/CN=localhost',
                           '-keyout', path.join(folder, 'key.pem'), '-out', path.join(folder, 'cert.pem')],
               { stdio: 'ignore' });
  port = await freePort();
  const backends = [await freePort(), await freePort()];
  const name = `localhost:${port}`;
  for (const backend of backends) {
    const child = spawn(cli, ['serve', '--listen', `127.0.0.1:${backend}`, '--host', name, demo],
                        { stdio: ['ignore', 'pipe', 'pipe'] });
    children.push(child);
    await started(child, /serving/, 'vistel serve');
  }
  // The example as it is, with this test's ports, name and certificate.
  const site = fs.readFileSync(path.join(sourceDir, 'examples/nginx/vistel.conf'), 'utf8')
    .replace('listen 443 ssl;', `listen 127.0.0.1:${port} ssl;`)
    .replace('server_name vistel.example;', 'server_name localhost;')
    .replaceAll('127.0.0.1:8081', `127.0.0.1:${backends[0]}`)
    .replaceAll('127.0.0.1:8082', `127.0.0.1:${backends[1]}`)
    .replace('/etc/ssl/certs/vistel.example.pem', path.join(folder, 'cert.pem'))
    .replace('/etc/ssl/private/vistel.example.key', path.join(folder, 'key.pem'));
  fs.writeFileSync(path.join(folder, 'vistel.conf'), site);
  const tmp = path.join(folder, 'tmp');
  fs.writeFileSync(path.join(folder, 'nginx.conf'), `
    daemon off;
    ${process.getuid() === 0 ? 'user root;' : ''}
    worker_processes 1;
    pid ${folder}/nginx.pid;
    error_log ${folder}/error.log;
    events { worker_connections 128; }
    http {
      access_log off;
      client_body_temp_path ${tmp}/body; proxy_temp_path ${tmp}/proxy;
      fastcgi_temp_path ${tmp}/fastcgi; uwsgi_temp_path ${tmp}/uwsgi; scgi_temp_path ${tmp}/scgi;
      include ${folder}/vistel.conf;
    }`);
  const nginx = spawn(nginxPath, ['-p', folder, '-c', path.join(folder, 'nginx.conf')], { stdio: 'ignore' });
  children.push(nginx);
  await waitForPort(port);
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  for (const child of children.reverse()) {
    if (child.exitCode === null) {
      const gone = new Promise((r) => child.once('exit', r));
      child.kill('SIGTERM');
      await gone;
    }
  }
});

test('nginx serves the page over TLS, from one backend per browser', { skip: !nginxPath && 'no nginx' }, async () => {
  const pages = [];
  for (let i = 0; i < 3; i++) pages.push(await get(`https://localhost:${port}/`));
  for (const page of pages) {
    assert.equal(page.status, 200);
    assert.match(page.body, /<vistel-viewer/);
  }
  const backends = new Set(pages.map((p) => p.headers['x-vistel-backend']));
  assert.equal(backends.size, 1, `answered by ${[...backends]}`);
});

test('a page through nginx opens its session over wss and shows frames', { skip: !nginxPath && 'no nginx' }, async () => {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  // The test's own certificate is unknown to the browser.
  await page.setRequestInterception(false);
  const cdp = await page.target().createCDPSession();
  await cdp.send('Security.setIgnoreCertificateErrors', { ignore: true });
  await page.goto(`https://localhost:${port}/`);
  await page.waitForFunction(() => document.getElementById('viewer').frameCount >= 2, { timeout: 20000, polling: 100 });
  assert.equal(await page.evaluate(() => document.getElementById('viewer').GotoPosition(0.5, 0, 0, 1)), 1);
  await context.close();
});
