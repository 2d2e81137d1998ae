/*
 * Lumenbox: FileMaker web-viewer interface for pages under development.
 *
 * Include it in a browser page as
 *   <script src="http://127.0.0.1:1365/fm-mock.js?fileName=Invoices"></script>
 * and FileMaker.PerformScript / FileMaker.PerformScriptWithOption run the scripts of the open file
 * "Invoices" through its Lumenbox web viewer. What those scripts send back to the web viewer
 * (callbacks) reaches this page's global functions. Add "&debug=1" to log each step.
 *
 * The page runs scripts under a session: "&session=..." names one (a long random string), else the
 * script makes one up for the life of the page. With enhanced security on, the first call asks
 * the user in FileMaker to approve that session for the file, and runs once it is approved;
 * "&clientName=..." is the name the question shows. A denied or unanswered question is logged as
 * an error and the call does not run.
 */
(function () {
  "use strict";
  if (typeof window === "undefined") return;
  const config = /*__LUMENBOX_MOCK_CONFIG__*/ {};

  const LOG_PREFIX = "[fm-mock]";
  const RECONNECT_DELAY_MS = 2000;
  // Calls made while the connection is down wait for it, up to this many.
  const MAX_QUEUED_MESSAGES = 100;

  const debug = config.debug === true;
  function log() {
    if (debug) console.log.apply(console, [LOG_PREFIX].concat(Array.prototype.slice.call(arguments)));
  }
  function logError() {
    console.error.apply(console, [LOG_PREFIX].concat(Array.prototype.slice.call(arguments)));
  }

  const existing = window.FileMaker;
  if (existing && typeof existing.PerformScript === "function") {
    log("a real FileMaker interface is present; the mock stays out of the way");
    return;
  }

  const fileName = String(config.fileName || "").trim();
  const clientName = String(config.clientName || "").trim();

  // A random id when the page names none: 122 random bits, kept while the page lives.
  function randomSession() {
    if (window.crypto && typeof window.crypto.randomUUID === "function") return window.crypto.randomUUID();
    const bytes = new Uint8Array(16);
    window.crypto.getRandomValues(bytes);
    return Array.prototype.map.call(bytes, function (b) { return (b + 256).toString(16).slice(1); }).join("");
  }
  const session = String(config.session || "").trim() || randomSession();

  // The bridge this script came from; a page served from elsewhere (a development server, a file)
  // still reaches the bridge that way.
  function bridgeHost() {
    const script = document.currentScript;
    if (script && script.src) {
      try {
        const url = new URL(script.src);
        if (url.protocol === "http:" || url.protocol === "https:") return { secure: url.protocol === "https:", host: url.host };
      } catch (error) {
        // fall back to the page's own host
      }
    }
    return { secure: location.protocol === "https:", host: location.host };
  }
  const bridge = bridgeHost();

  function socketUrl() {
    if (config.wsUrl) return config.wsUrl;
    return (bridge.secure ? "wss:" : "ws:") + "//" + bridge.host + "/ws";
  }

  let socket = null;
  let registered = false;
  let retryTimer = null;
  const queue = [];

  function flush() {
    while (registered && queue.length && socket && socket.readyState === WebSocket.OPEN) {
      socket.send(queue.shift());
    }
  }

  function send(message) {
    const text = JSON.stringify(message);
    if (registered && socket && socket.readyState === WebSocket.OPEN) {
      socket.send(text);
      return;
    }
    if (queue.length >= MAX_QUEUED_MESSAGES) {
      logError("not connected to the bridge; dropping", message.type, "for", message.script);
      return;
    }
    log("not connected yet; queued", message.type);
    queue.push(text);
  }

  function asText(value) {
    if (value === undefined || value === null) return "";
    return typeof value === "string" ? value : String(value);
  }

  function scheduleReconnect() {
    if (retryTimer !== null) return;
    retryTimer = setTimeout(function () {
      retryTimer = null;
      connect();
    }, RECONNECT_DELAY_MS);
  }

  function connect() {
    let ws;
    const url = socketUrl();
    try {
      ws = new WebSocket(url);
    } catch (error) {
      logError("cannot open", url, error);
      scheduleReconnect();
      return;
    }
    socket = ws;
    log("connecting to", url);
    ws.addEventListener("open", function () {
      if (ws !== socket) return;
      ws.send(JSON.stringify({ type: "register", role: "agent-browser", fileName: fileName, session: session, clientName: clientName }));
      registered = true;
      log("registered as agent browser for", fileName);
      flush();
    });
    ws.addEventListener("message", function (event) {
      if (ws === socket && typeof event.data === "string") handleMessage(event.data);
    });
    ws.addEventListener("close", function () {
      if (ws !== socket) return;
      socket = null;
      registered = false;
      log("connection closed; reconnecting in", RECONNECT_DELAY_MS, "ms");
      scheduleReconnect();
    });
  }

  // "a.b.c" followed from the global object; the function and the object that holds it.
  function resolve(path) {
    const parts = path.split(".");
    let owner = window;
    for (let i = 0; i < parts.length - 1; i++) {
      owner = owner == null ? undefined : owner[parts[i]];
    }
    const target = owner == null ? undefined : owner[parts[parts.length - 1]];
    return typeof target === "function" ? { owner: owner, target: target } : null;
  }

  function handleMessage(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch (error) {
      return;
    }
    if (!message || typeof message !== "object" || typeof message.type !== "string") return;
    if (message.type === "callback") {
      if (typeof message.fn !== "string") return;
      const found = resolve(message.fn);
      if (!found) {
        log("no function", message.fn, "on this page; callback ignored");
        return;
      }
      log("callback", message.fn);
      try {
        found.target.apply(found.owner, Array.isArray(message.args) ? message.args : []);
      } catch (error) {
        logError("callback", message.fn, "threw", error);
      }
    } else if (message.type === "status") {
      log("status", message);
      if (typeof window.__FM_BRIDGE_STATUS__ === "function") {
        try {
          window.__FM_BRIDGE_STATUS__(message);
        } catch (error) {
          logError("__FM_BRIDGE_STATUS__ threw", error);
        }
      }
    } else if (message.type === "error") {
      logError(typeof message.message === "string" ? message.message : message);
    }
  }

  const host = existing && typeof existing === "object" ? existing : {};
  host.PerformScript = function (script, param) {
    log("PerformScript", script);
    send({ type: "callScript", script: asText(script), param: asText(param) });
  };
  host.PerformScriptWithOption = function (script, param, option) {
    log("PerformScriptWithOption", script, option);
    send({ type: "callScriptWithOption", script: asText(script), param: asText(param), option: option });
  };
  window.FileMaker = host;

  if (!fileName) {
    logError("no file name configured; scripts cannot be run");
    return;
  }
  connect();
})();
