// vistel.js: the Vistel viewer as a custom element, <vistel-viewer>.
//
//   <script src="http://viewer.example:8080/vistel.js"></script>
//   <vistel-viewer server="http://viewer.example:8080" token="..." style="width:800px;height:600px">
//     <param name="Preset1" value="0.50;0.10,-0.05;1.00;">
//   </vistel-viewer>
//
// The element opens a WebSocket session on its `vistel serve` server (the
// page's own server when `server` is absent); the server runs the viewer and
// sends its frames, which the element draws on a canvas. <param> children are
// the load-time properties. The automation members (GotoPosition, Zoom, ...)
// return Promises of their results; events arrive as DOM events: ready,
// viewchange, motionend, projectchange, connectionlost, connectionrestored,
// error, snapshot and frame. One file, no build step; see vistel.d.ts.
(() => {
  'use strict';

  if (customElements.get('vistel-viewer')) return;

  const MEMBERS = [
    'GotoPosition', 'GotoPreset', 'Zoom', 'Blend', 'SetZoom', 'Home', 'Suspend', 'Resume',
    'SetPresetTime', 'SetManualTime', 'GetBlendFactor', 'GetZoomFactor', 'GetXOffset',
    'GetYOffset', 'Project', 'SetProjectXMLBuffer', 'ExecSilentURL', 'Recalibrate',
    'GetSourceKey', 'GetDestinationKey', 'PromptSnapshot', 'SetStartKey', 'SetEndKey',
  ];
  const NOTCH = 120;           // one wheel notch, as the control counts it
  const MAX_SIDE = 2047;       // largest frame side the engine renders
  const MAX_RETRY_MS = 5000;   // longest wait between reconnection attempts
  const COPY_POSITION = 2;     // the control's command that copies the position

  const STYLE = `
    :host { display: inline-block; position: relative; width: 640px; height: 480px;
            overflow: hidden; outline: none; background: #fff; }
    canvas { display: block; width: 100%; height: 100%; touch-action: none; }
    dialog { font: 14px system-ui, sans-serif; border: 1px solid #888; border-radius: 6px;
             padding: 14px 16px; min-width: 260px; }
    dialog h1 { font-size: 15px; margin: 0 0 10px; }
    dialog label { display: block; margin: 6px 0; }
    dialog input[type=text], dialog input[type=password] { width: 100%; box-sizing: border-box; }
    dialog .buttons { text-align: right; margin-top: 12px; }
    dialog .buttons button { margin-left: 6px; min-width: 72px; }
    .menu { position: absolute; z-index: 10; margin: 0; padding: 4px 0; list-style: none;
            background: #fff; border: 1px solid #888; box-shadow: 2px 2px 6px rgba(0,0,0,.3);
            font: 14px system-ui, sans-serif; min-width: 200px; }
    .menu li { padding: 4px 16px; cursor: default; white-space: nowrap; }
    .menu li:hover, .menu li:focus { background: #2a6ad8; color: #fff; outline: none; }
    .menu li.separator { padding: 0; margin: 4px 0; border-top: 1px solid #ccc; pointer-events: none; }
  `;

  function element(tag, props, ...children) {
    const node = document.createElement(tag);
    Object.assign(node, props || {});
    for (const child of children) node.append(child);
    return node;
  }

  function u16(view, at) { return view.getUint16(at, true); }

  class VistelViewer extends HTMLElement {
    constructor() {
      super();
      const root = this.attachShadow({ mode: 'open' });
      root.append(element('style', { textContent: STYLE }));
      this._canvas = element('canvas');
      root.append(this._canvas);
      this._context = this._canvas.getContext('2d');
      this._socket = null;
      this._calls = new Map();      // id -> {resolve, reject}
      this._nextId = 1;
      this._waiting = [];           // messages sent before the socket opened
      this._ready = false;
      this._lost = false;           // the connection was lost and is being regained
      this._retryMs = 250;
      this._retryTimer = 0;
      this._size = [0, 0];
      this._pageVisible = document.visibilityState !== 'hidden';
      this._inView = true;
      this._shown = null;
      this._lastDrawn = 0;
      this._wheel = 0;
      this._moveQueued = null;
      this._openDialogs = new Set();
      this.frameCount = 0;
      this._bindInput();
    }

    // ---- Life cycle -----------------------------------------------------------

    connectedCallback() {
      // Focusable for the keys; set here, since a constructor may not add attributes.
      if (!this.hasAttribute('tabindex')) this.tabIndex = 0;
      this._resizeObserver = new ResizeObserver((entries) => this._resized(entries[0]));
      this._resizeObserver.observe(this._canvas);
      this._intersection = new IntersectionObserver((entries) => {
        this._inView = entries[entries.length - 1].isIntersecting;
        this._updateShown();
      });
      this._intersection.observe(this);
      this._onVisibility = () => {
        this._pageVisible = document.visibilityState !== 'hidden';
        this._updateShown();
      };
      document.addEventListener('visibilitychange', this._onVisibility);
      // A change of the device pixel ratio (page zoom, another screen)
      // changes the frame size without a resize.
      const watchRatio = () => {
        this._ratioQuery = matchMedia(`(resolution: ${devicePixelRatio}dppx)`);
        this._ratioQuery.addEventListener('change', () => {
          if (!this.isConnected) return;
          this._measure();
          watchRatio();
        }, { once: true });
      };
      watchRatio();
      this._measure();
      this._connect();
    }

    disconnectedCallback() {
      this._resizeObserver.disconnect();
      this._intersection.disconnect();
      document.removeEventListener('visibilitychange', this._onVisibility);
      clearTimeout(this._retryTimer);
      const socket = this._socket;
      this._socket = null;
      if (socket) socket.close(1000, 'element removed');
      this._failCalls(new Error('the viewer was removed from the page'));
    }

    /** True while the session is open and ready. */
    get connected() { return this._ready; }

    // ---- Connection -------------------------------------------------------------

    _url() {
      let base = this.getAttribute('server');
      if (!base) base = location.origin;
      const url = new URL(base, location.href);
      if (url.protocol === 'http:') url.protocol = 'ws:';
      if (url.protocol === 'https:') url.protocol = 'wss:';
      if (url.pathname === '/' || url.pathname === '') url.pathname = '/ws';
      const token = this.getAttribute('token');
      if (token) url.searchParams.set('token', token);
      return url.href;
    }

    _params() {
      const params = {};
      for (const param of this.querySelectorAll(':scope > param')) {
        const name = param.getAttribute('name');
        if (name) params[name] = param.getAttribute('value') || '';
      }
      return params;
    }

    _connect() {
      let socket;
      try {
        socket = new WebSocket(this._url());
      } catch (e) {
        this._emit('error', { message: String(e.message || e) });
        return;
      }
      socket.binaryType = 'arraybuffer';
      this._socket = socket;
      // A new session numbers its frames from the start again.
      this._lastDrawn = 0;
      socket.onopen = () => {
        if (socket !== this._socket) return;
        this._shown = this._isShown();
        socket.send(JSON.stringify({
          t: 'hello', params: this._params(), width: this._size[0], height: this._size[1],
          visible: this._shown,
        }));
        for (const message of this._waiting) socket.send(message);
        this._waiting = [];
      };
      socket.onmessage = (event) => {
        if (socket !== this._socket) return;
        if (typeof event.data === 'string') {
          this._text(event.data);
        } else {
          this._binary(socket, event.data);
        }
      };
      socket.onclose = (event) => {
        if (socket !== this._socket) return;
        this._socket = null;
        const wasReady = this._ready;
        this._ready = false;
        this._failCalls(new Error('connection lost'));
        this._closeDialogs();
        if (wasReady || !this._lost) {
          this._lost = true;
          this._emit('connectionlost', { code: event.code, reason: event.reason });
        }
        this._retryTimer = setTimeout(() => this._connect(), this._retryMs);
        this._retryMs = Math.min(this._retryMs * 2, MAX_RETRY_MS);
      };
    }

    _send(message) {
      const text = JSON.stringify(message);
      if (this._socket && this._socket.readyState === WebSocket.OPEN) {
        this._socket.send(text);
      } else if (message.t === 'call') {
        this._waiting.push(text);   // sent after the next hello
      }
    }

    _failCalls(error) {
      const calls = this._calls;
      this._calls = new Map();
      this._waiting = [];
      for (const { reject } of calls.values()) reject(error);
    }

    _emit(name, detail) {
      this.dispatchEvent(new CustomEvent(name, { detail }));
    }

    _text(data) {
      let message;
      try { message = JSON.parse(data); } catch (e) { return; }
      switch (message.t) {
        case 'ready':
          this._ready = true;
          this._retryMs = 250;
          this._emit('ready', {});
          if (this._lost) {
            this._lost = false;
            this._emit('connectionrestored', {});
          }
          break;
        case 'reply': {
          const call = this._calls.get(message.id);
          if (!call) break;
          this._calls.delete(message.id);
          if ('error' in message) {
            call.reject(new Error(message.error));
          } else {
            call.resolve(message.v);
          }
          break;
        }
        case 'event':
          this._emit(message.name, message.detail || {});
          break;
        case 'ask':
          this._ask(message);
          break;
      }
    }

    _binary(socket, buffer) {
      const view = new DataView(buffer);
      if (buffer.byteLength < 6) return;
      const kind = String.fromCharCode(view.getUint8(0), view.getUint8(1), view.getUint8(2),
                                       view.getUint8(3));
      if (kind === 'VFRM' && buffer.byteLength >= 16) {
        const sequence = view.getUint32(4, true);
        const width = u16(view, 8);
        const height = u16(view, 10);
        this._drawFrame(socket, sequence, width, height,
                        new Blob([buffer.slice(16)], { type: 'image/jpeg' }));
      } else if (kind === 'VSNP') {
        const length = u16(view, 4);
        const name = new TextDecoder().decode(new Uint8Array(buffer, 6, length));
        const blob = new Blob([buffer.slice(6 + length)], { type: 'image/jpeg' });
        this._download(name, blob);
      }
    }

    async _drawFrame(socket, sequence, width, height, blob) {
      let bitmap = null;
      try {
        bitmap = await createImageBitmap(blob);
        // Pictures may finish decoding out of order; an older one is not drawn,
        // nor one of a session that ended while it decoded.
        if (socket === this._socket && sequence > this._lastDrawn) {
          this._lastDrawn = sequence;
          if (this._canvas.width !== this._size[0] || this._canvas.height !== this._size[1]) {
            this._canvas.width = this._size[0] || width;
            this._canvas.height = this._size[1] || height;
          }
          // The control paints its frame 1:1 at the top-left of its window.
          this._context.drawImage(bitmap, 0, 0);
          this.frameCount++;
          this._emit('frame', { sequence, width, height });
        }
      } catch (e) {
        // A picture that does not decode is skipped; it is still acknowledged.
      } finally {
        if (bitmap) bitmap.close();
        // Its number means nothing to a later session.
        if (socket === this._socket) this._send({ t: 'ack', seq: sequence });
      }
    }

    _download(name, blob) {
      this._emit('snapshot', { name, blob });
      const url = URL.createObjectURL(blob);
      const link = element('a', { href: url, download: name });
      link.style.display = 'none';
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
    }

    // ---- Size and visibility --------------------------------------------------

    // The frame is as many pixels as the canvas covers on the device: its
    // CSS size times the device pixel ratio (transforms do not change it).
    _resized(entry) {
      const box = entry ? entry.contentRect : this._canvas.getBoundingClientRect();
      this._setSize(box.width * devicePixelRatio, box.height * devicePixelRatio);
    }

    _measure() {
      const style = getComputedStyle(this._canvas);
      this._setSize(parseFloat(style.width) * devicePixelRatio,
                    parseFloat(style.height) * devicePixelRatio);
    }

    _setSize(width, height) {
      const w = Math.max(1, Math.min(MAX_SIDE, Math.round(width) || 1));
      const h = Math.max(1, Math.min(MAX_SIDE, Math.round(height) || 1));
      if (w === this._size[0] && h === this._size[1]) return;
      this._size = [w, h];
      this._canvas.width = w;
      this._canvas.height = h;
      this._context.fillStyle = '#fff';
      this._context.fillRect(0, 0, w, h);
      if (this._ready) this._send({ t: 'size', w, h });
    }

    _isShown() { return this._pageVisible && this._inView; }

    _updateShown() {
      const shown = this._isShown();
      if (shown === this._shown) return;
      this._shown = shown;
      if (this._ready) this._send({ t: 'show', v: shown });
    }

    // ---- Input -------------------------------------------------------------------

    // A point of the page as a pixel of the frame, whatever the element's CSS
    // size, transforms and the device pixel ratio.
    _framePoint(event) {
      const box = this._canvas.getBoundingClientRect();
      const x = (event.clientX - box.left) * (this._canvas.width / (box.width || 1));
      const y = (event.clientY - box.top) * (this._canvas.height / (box.height || 1));
      return [Math.floor(x), Math.floor(y)];
    }

    _bindInput() {
      const canvas = this._canvas;
      canvas.addEventListener('contextmenu', (e) => e.preventDefault());
      canvas.addEventListener('pointerdown', (e) => {
        if (e.button !== 0 && e.button !== 2) return;
        this.focus();
        canvas.setPointerCapture(e.pointerId);
        const [x, y] = this._framePoint(e);
        this._send({ t: 'down', b: e.button, x, y });
        e.preventDefault();
      });
      canvas.addEventListener('pointerup', (e) => {
        if (e.button !== 0 && e.button !== 2) return;
        const [x, y] = this._framePoint(e);
        this._send({ t: 'up', b: e.button, x, y });
        this._menuAt = [x, y];
      });
      canvas.addEventListener('pointermove', (e) => {
        // One move per animation frame is all the control needs.
        const queued = this._moveQueued;
        this._moveQueued = this._framePoint(e);
        if (queued) return;
        requestAnimationFrame(() => {
          const [x, y] = this._moveQueued;
          this._moveQueued = null;
          this._send({ t: 'move', x, y });
        });
      });
      canvas.addEventListener('wheel', (e) => {
        e.preventDefault();
        // In the control's units: 120 a notch, positive away from the user.
        // Fine-grained wheels and touchpads send parts of a notch, which the
        // control adds up; only the rounding remainder stays here.
        const scale = e.deltaMode === 1 ? NOTCH / 3 : e.deltaMode === 2 ? NOTCH : NOTCH / 100;
        this._wheel -= e.deltaY * scale;
        const delta = Math.max(-32768, Math.min(32767, Math.trunc(this._wheel)));
        if (delta !== 0) {
          this._wheel -= delta;
          this._send({ t: 'wheel', d: delta });
        }
      }, { passive: false });
      const key = (down) => (e) => {
        if (this._openDialogs.size) return;
        const flags = (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0) |
                      (e.metaKey ? 8 : 0);
        this._send({ t: 'key', down, code: e.keyCode | 0, flags });
        if (down && (e.ctrlKey || e.metaKey) && e.key === 'c') {
          this._send({ t: 'command', c: COPY_POSITION });
          e.preventDefault();
        }
      };
      this.addEventListener('keydown', key(true));
      this.addEventListener('keyup', key(false));
    }

    // ---- Dialogs -----------------------------------------------------------------

    _answer(id, value) { this._send({ t: 'answer', id, v: value }); }

    _closeDialogs() {
      for (const close of this._openDialogs) close();
      this._openDialogs.clear();
    }

    // A modal <dialog> with `content` and buttons; `finish(value)` answers once.
    _dialog(id, title, content, buttons, cancelValue) {
      const dialog = element('dialog', { className: 'vistel-dialog' });
      const row = element('div', { className: 'buttons' });
      let answered = false;
      const finish = (value) => {
        if (answered) return;
        answered = true;
        this._openDialogs.delete(close);
        dialog.close();
        dialog.remove();
        if (value !== undefined) this._answer(id, value);
      };
      const close = () => finish(undefined);
      for (const [label, value, role] of buttons) {
        const button = element('button', { type: 'button', textContent: label });
        if (role) button.dataset.role = role;
        button.addEventListener('click', () => {
          const result = typeof value === 'function' ? value() : value;
          if (result !== undefined) finish(result);
        });
        row.append(button);
      }
      dialog.addEventListener('cancel', (e) => { e.preventDefault(); finish(cancelValue); });
      dialog.append(element('h1', { textContent: title }), ...content, row);
      this.shadowRoot.append(dialog);
      this._openDialogs.add(close);
      dialog.showModal();
      return dialog;
    }

    _ask(message) {
      const id = message.id;
      switch (message.kind) {
        case 'credentials': {
          const user = element('input', { type: 'text', name: 'user', autocomplete: 'username' });
          const password = element('input', { type: 'password', name: 'password',
                                              autocomplete: 'current-password' });
          const remember = element('input', { type: 'checkbox', name: 'remember' });
          const dialog = this._dialog(id, 'Vistel', [
            element('p', { textContent: 'Authorization needed for: ' + message.host }),
            element('label', {}, 'User Name:', user),
            element('label', {}, 'Password:', password),
            element('label', {}, remember, ' Remember username and password.'),
          ], [
            // OK closes only with both fields filled, like the desktop dialog.
            ['OK', () => (user.value && password.value
              ? { user: user.value, password: password.value, remember: remember.checked }
              : undefined), 'ok'],
            ['Cancel', null, 'cancel'],
          ], null);
          dialog.dataset.kind = 'credentials';
          user.focus();
          break;
        }
        case 'message':
          this._dialog(id, message.caption, [element('p', { textContent: message.text })],
                       [['OK', true, 'ok']], true).dataset.kind = 'message';
          break;
        case 'yesno':
          this._dialog(id, message.caption, [element('p', { textContent: message.text })],
                       [['Yes', true, 'yes'], ['No', false, 'no']], false).dataset.kind = 'yesno';
          break;
        case 'about': {
          const links = (message.links || []).map((href) =>
            element('p', {}, element('a', { href, target: '_blank', rel: 'noopener', textContent: href })));
          this._dialog(id, 'About ' + message.product, [
            element('p', { textContent: message.product }),
            element('p', { textContent: message.version }),
            element('p', { textContent: message.makers }),
            element('p', { textContent: message.note }),
            ...links,
          ], [['Close', true, 'close']], true).dataset.kind = 'about';
          break;
        }
        case 'save': {
          const name = element('input', { type: 'text', name: 'name', value: message.name || 'snapshot.jpg' });
          this._dialog(id, 'Save snapshot', [element('label', {}, 'File name:', name)], [
            ['Save', () => (name.value ? name.value : undefined), 'save'],
            ['Cancel', null, 'cancel'],
          ], null).dataset.kind = 'save';
          name.select();
          break;
        }
        case 'clipboard':
          this._copy(message.text).then((done) => this._answer(id, done));
          break;
        case 'menu':
          this._menu(id, message);
          break;
        default:
          this._answer(id, null);
      }
    }

    async _copy(text) {
      try {
        await navigator.clipboard.writeText(text);
        return true;
      } catch (e) {
        // Without the asynchronous clipboard (no permission, plain http):
        // the older way through a selected text field.
        const field = element('textarea', { value: text });
        this.shadowRoot.append(field);
        field.select();
        let done = false;
        try { done = document.execCommand('copy'); } catch (e2) { done = false; }
        field.remove();
        return done;
      }
    }

    _menu(id, message) {
      const menu = element('ul', { className: 'menu' });
      menu.setAttribute('role', 'menu');
      let answered = false;
      const finish = (command) => {
        if (answered) return;
        answered = true;
        this._openDialogs.delete(close);
        menu.remove();
        document.removeEventListener('pointerdown', outside, true);
        if (command !== undefined) this._answer(id, command);
      };
      const close = () => finish(undefined);
      const outside = (e) => { if (!e.composedPath().includes(menu)) finish(0); };
      for (const item of message.items || []) {
        if (!item.c) {
          menu.append(element('li', { className: 'separator' }));
          continue;
        }
        const entry = element('li', { textContent: item.label, tabIndex: -1 });
        entry.setAttribute('role', 'menuitem');
        entry.dataset.command = String(item.c);
        entry.addEventListener('click', () => finish(item.c));
        entry.addEventListener('keydown', (e) => { if (e.key === 'Enter') finish(item.c); });
        menu.append(entry);
      }
      menu.addEventListener('keydown', (e) => { if (e.key === 'Escape') finish(0); });
      // The menu opens at the pointer: frame pixels back to the element's CSS pixels.
      const box = this._canvas.getBoundingClientRect();
      const scaleX = (this._canvas.offsetWidth || box.width) / (this._canvas.width || 1);
      const scaleY = (this._canvas.offsetHeight || box.height) / (this._canvas.height || 1);
      menu.style.left = Math.round(message.x * scaleX) + 'px';
      menu.style.top = Math.round(message.y * scaleY) + 'px';
      this.shadowRoot.append(menu);
      // Kept inside the element where it can be.
      const overflowX = menu.offsetLeft + menu.offsetWidth - this.clientWidth;
      if (overflowX > 0) menu.style.left = Math.max(0, menu.offsetLeft - overflowX) + 'px';
      const overflowY = menu.offsetTop + menu.offsetHeight - this.clientHeight;
      if (overflowY > 0) menu.style.top = Math.max(0, menu.offsetTop - overflowY) + 'px';
      this._openDialogs.add(close);
      setTimeout(() => document.addEventListener('pointerdown', outside, true), 0);
      const first = menu.querySelector('li[role=menuitem]');
      if (first) first.focus();
    }

    // ---- Automation ------------------------------------------------------------

    _call(member, args) {
      return new Promise((resolve, reject) => {
        const id = this._nextId++;
        this._calls.set(id, { resolve, reject });
        this._send({ t: 'call', id, m: member, a: args });
      });
    }
  }

  for (const member of MEMBERS) {
    VistelViewer.prototype[member] = function (...args) { return this._call(member, args); };
  }

  customElements.define('vistel-viewer', VistelViewer);
  window.VistelViewer = VistelViewer;
})();
