// Type declarations for vistel.js, the <vistel-viewer> element.
//
//   <script src="http://viewer.example:8080/vistel.js"></script>
//   const viewer = document.querySelector('vistel-viewer') as VistelViewer;
//   await viewer.GotoPosition(0.5, 0, 0, 1);   // 1: the motion was queued

/** Where the view is: the detail of `viewchange` and `motionend`. */
export interface VistelPosition {
  navProgress: number;
  xOffset: number;
  yOffset: number;
  zoomFactor: number;
}

export interface VistelViewerEventMap extends HTMLElementEventMap {
  /** The session is open and the project loaded (again after a reconnection). */
  ready: CustomEvent<{}>;
  /** The view moved (sent while frames show it moving). */
  viewchange: CustomEvent<VistelPosition>;
  /** A motion came to rest. */
  motionend: CustomEvent<VistelPosition>;
  /** Project or SetProjectXMLBuffer loaded a new project text. */
  projectchange: CustomEvent<{}>;
  /** The connection to the server is gone; the element reconnects by itself. */
  connectionlost: CustomEvent<{ code: number; reason: string }>;
  /** The connection is back, after connectionlost. */
  connectionrestored: CustomEvent<{}>;
  /** The server refused something (a <param>, a project) or the element failed. */
  error: CustomEvent<{ message: string }> & Event;
  /** "Save snapshot..." produced a JPEG; the element also starts its download. */
  snapshot: CustomEvent<{ name: string; blob: Blob }>;
  /** A frame was drawn on the canvas. */
  frame: CustomEvent<{ sequence: number; width: number; height: number }>;
}

/**
 * The viewer control in a page. Attributes: `server` (the `vistel serve`
 * address, default the page's own origin) and `token`. `<param name value>`
 * children are the load-time properties (Preset1..15, presetTime, manualTime,
 * and, where the server allows page projects, Project and the camera
 * addresses). Every member returns a Promise of its result; a call the server
 * refuses rejects with an Error.
 */
export declare class VistelViewer extends HTMLElement {
  /** True while the session is open and ready. */
  readonly connected: boolean;
  /** Frames drawn so far. */
  readonly frameCount: number;

  /** 1 when a motion was queued; 0 outside progress 0..1, zoom 0.24..4, offsets -0.5..0.5. */
  GotoPosition(navProgress: number, xOffset: number, yOffset: number, zoomFactor: number): Promise<number>;
  /** Preset 0 (the overall view) or a defined Preset1..15. */
  GotoPreset(preset: number): Promise<void>;
  /** A motion to the current zoom plus `offset`, within 0.24..4. */
  Zoom(offset: number): Promise<void>;
  /** A motion to progress `offset` (0..1) along the current link. */
  Blend(offset: number): Promise<void>;
  /** Sets the zoom at once, within 0.24..4. */
  SetZoom(zoomFactor: number): Promise<void>;
  /** A motion to (0.5, 0, 0, 0.64). */
  Home(): Promise<void>;
  Suspend(): Promise<void>;
  Resume(): Promise<void>;
  /** Motion durations in ms; ignored outside 0..60000 (below 0 for the manual time). */
  SetPresetTime(milliseconds: number): Promise<void>;
  SetManualTime(milliseconds: number): Promise<void>;
  GetBlendFactor(): Promise<number>;
  GetZoomFactor(): Promise<number>;
  GetXOffset(): Promise<number>;
  GetYOffset(): Promise<number>;
  /** The stored project text (camera passwords masked). */
  Project(): Promise<string>;
  /** Loads a project text without storing it (needs --allow-page-projects). */
  Project(text: string): Promise<void>;
  /** Loads a project text (needs --allow-page-projects). */
  SetProjectXMLBuffer(xml: string): Promise<void>;
  /** Requests an http(s) URL of an allowed host and ignores the answer (needs --allow-silent-url). */
  ExecSilentURL(url: string): Promise<void>;
  /** 0 done, 1 source picture, 2 source key, 3 destination picture, 4 destination key (needs --allow-recalibrate). */
  Recalibrate(strSourceImagePath: string, strSourceKey: string, strDestinationImagePath: string,
              strDestinationKey: string): Promise<number>;
  GetSourceKey(): Promise<string>;
  GetDestinationKey(): Promise<string>;
  /** Asks for a file name in the page, then downloads the frame as a JPEG. */
  PromptSnapshot(): Promise<void>;
  /** Accepted, no effect. */
  SetStartKey(key: string): Promise<void>;
  SetEndKey(key: string): Promise<void>;

  addEventListener<K extends keyof VistelViewerEventMap>(
      type: K, listener: (this: VistelViewer, ev: VistelViewerEventMap[K]) => any,
      options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject,
                   options?: boolean | AddEventListenerOptions): void;
}

declare global {
  interface HTMLElementTagNameMap {
    'vistel-viewer': VistelViewer;
  }
  interface Window {
    VistelViewer: typeof VistelViewer;
  }
}
