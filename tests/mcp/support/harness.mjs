// What every MCP test file shares: the test bridge as a child process, simulated web viewers on
// the bridge's WebSocket, the official MCP clients connected to its /mcp endpoint, bounded waits.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { request as httpRequest } from "node:http";
import { tmpdir } from "node:os";
import path from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { after, before } from "node:test";
import { Client as LegacyClient } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport as LegacyHttpTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { Client, StreamableHTTPClientTransport } from "@modelcontextprotocol/client";

// Set by CTest (tests/mcp/CMakeLists.txt); the defaults fit a dev-preset build.
const buildDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../../build/dev");
export const paths = {
  bridge: process.env.LUMENBOX_TEST_BRIDGE ?? path.join(buildDir, "tests/browser/lumenbox-test-bridge"),
  stdioProgram: process.env.LUMENBOX_MCP ?? path.join(buildDir, "tools/mcp/lumenbox-mcp"),
};
// Every wait is bounded by this, so that a broken endpoint fails a test instead of hanging it.
export const WAIT_MS = 15000;
export const MODERN = "2026-07-28";

// Polls `probe` until it gives something truthy, which it returns; fails after WAIT_MS.
export async function until(probe, what) {
  for (const end = Date.now() + WAIT_MS; ;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) assert.fail(`gave up waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// The promise, or a failure naming `what` once WAIT_MS has passed.
export function bounded(promise, what) {
  let timer;
  const limit = new Promise((_, reject) => (timer = setTimeout(() => reject(new Error(`gave up waiting for ${what}`)), WAIT_MS)));
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// lumenbox-test-bridge (tests/browser/TestBridge.cpp) with a home directory of its own; each
// command is answered with one line.
export class Bridge {
  static async start() {
    const bridge = new Bridge(), home = (bridge.home = mkdtempSync(path.join(tmpdir(), "lumenbox-mcp-")));
    const env = { ...process.env, HOME: home, LUMENBOX_PLUGIN_LOG_PATH: path.join(home, "bridge.log"), XDG_CONFIG_HOME: "" };
    const child = (bridge.child = spawn(paths.bridge, ["--port", "0"], { env, stdio: ["pipe", "pipe", "inherit"] }));
    bridge.lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
    bridge.exited = new Promise((resolve) => child.once("exit", resolve).once("error", resolve));
    bridge.port = Number(/^listening (\d+)$/.exec((await bridge.lines.next()).value)?.[1]);
    assert.ok(bridge.port > 0, `the test bridge (${paths.bridge}) did not start`);
    return bridge;
  }

  async query(line) {
    this.child.stdin.write(line + "\n");
    return (await this.lines.next()).value;
  }

  async command(...lines) {
    for (const line of lines) assert.match(await this.query(line), /^(ok|stopped|listening \d+)$/, line);
  }

  // What waits on the bridge's loop: {calls, pings, questions}.
  async pending() {
    const answer = await this.query("pending");
    return Object.fromEntries([...answer.matchAll(/(\w+)=(\d+)/g)].map(([, key, n]) => [key, Number(n)]));
  }

  url(target = "/mcp") { return `http://127.0.0.1:${this.port}${target}`; }

  async stop() {
    this.child.stdin.end();
    await this.exited;
    rmSync(this.home, { recursive: true, force: true });
  }
}

// A bridge for the test file around it, then `setup(suite)`; what they opened is closed at the end.
// (Node 20 may run a file's top-level hooks together, so the setup belongs to the same hook.)
export function useBridge(setup) {
  const suite = { webviewers: [] };
  before(async () => {
    suite.bridge = await Bridge.start();
    await setup?.(suite);
  });
  after(async () => {
    for (const client of connected.splice(0)) await client.close().catch(() => {});
    for (const webviewer of suite.webviewers) webviewer.close();
    await suite.bridge?.stop();
  });
  suite.open = async (fileName, options) => {
    const webviewer = await Webviewer.open(suite.bridge, fileName, options);
    suite.webviewers.push(webviewer);
    return webviewer;
  };
  return suite;
}

// One HTTP exchange with nothing added by a client library: any method, header or body.
export function raw(bridge, { method = "POST", headers = {}, body, target = "/mcp" } = {}) {
  const text = body === undefined ? undefined : typeof body === "string" ? body : JSON.stringify(body);
  return new Promise((resolve, reject) => {
    const all = { "content-type": "application/json", accept: "application/json, text/event-stream", ...headers };
    // A header given as null is left out.
    const sent = Object.fromEntries(Object.entries(all).filter(([, value]) => value !== null));
    const req = httpRequest(bridge.url(target), { method, headers: sent }, (res) => {
      let data = "";
      res.setEncoding("utf8").on("data", (chunk) => (data += chunk)).on("end", () => {
        let json;
        try { json = JSON.parse(data); } catch {}
        resolve({ status: res.statusCode, headers: res.headers, text: data, json, events: sseMessages(data) });
      });
    });
    req.on("error", reject);
    req.end(text);
  });
}

// The JSON messages of an event stream's `data:` lines.
export const sseMessages = (text) =>
  [...text.matchAll(/^data: ?(.*)$/gm)].map(([, data]) => { try { return JSON.parse(data); } catch { return data; } });

// The _meta and headers a modern request carries, for raw requests.
export function modernRequest(method, params = {}, { id = 1, version = MODERN, headers = {}, meta } = {}) {
  const _meta = meta ?? { "io.modelcontextprotocol/protocolVersion": version,
    "io.modelcontextprotocol/clientCapabilities": {}, "io.modelcontextprotocol/clientInfo": { name: "raw", version: "1" } };
  return {
    headers: { "mcp-protocol-version": version, "mcp-method": method,
      ...(method === "tools/call" ? { "mcp-name": params.name } : {}), ...headers },
    body: { jsonrpc: "2.0", id, method, params: { ...params, _meta } },
  };
}

// A page registered as a file's web viewer (or agent browser), as the connector page would be. It
// keeps every message, answers pings (unless `silent`) and runs two scripts at once: Echo returns
// its data, LB_get_version a version. Any other script is held until the test answers it:
// `nextCall()` gives the next one held.
export class Webviewer {
  static async open(bridge, fileName, { silent = false, role = "webviewer" } = {}) {
    const page = new Webviewer(bridge, fileName, silent);
    page.socket.addEventListener("open", () => page.send({ type: "register", fileName, role }));
    const flag = role === "webviewer" ? "webviewerConnected" : "agentBrowserConnected";
    await until(async () => (await (await fetch(bridge.url("/bridgeStatus"))).json())
      .some((file) => file.fileName === fileName && file[flag]), `the ${role} of ${fileName} to be registered`);
    return page;
  }

  constructor(bridge, fileName, silent) {
    Object.assign(this, { fileName, silent, held: [], waiting: [], messages: [] });
    this.socket = new WebSocket(`ws://127.0.0.1:${bridge.port}/ws`);
    this.socket.addEventListener("message", ({ data }) => this.receive(JSON.parse(data)));
  }

  receive(message) {
    this.messages.push(message);
    if (message.type === "ping" && !this.silent) this.send({ type: "pong", id: message.id });
    if (message.type !== "callScript") return;
    const envelope = JSON.parse(message.param);
    const call = { script: message.script, fetchId: envelope.callback.fetchId, data: envelope.data };
    if (call.script === "Echo") return this.answer(call, call.data);
    if (call.script === "LB_get_version") return this.answer(call, "3.2.0");
    const waiter = this.waiting.shift();
    waiter ? waiter(call) : this.held.push(call);
  }

  // The next call held for the test to answer.
  nextCall() {
    if (this.held.length) return Promise.resolve(this.held.shift());
    return bounded(new Promise((resolve) => this.waiting.push(resolve)), `a script call to ${this.fileName}`);
  }

  answer(call, result) { this.send({ type: "callback", fn: "handleFMCallback", args: [result, call.fetchId] }); }
  send(message) { this.socket.send(JSON.stringify(message)); }
  close() { this.socket.close(); }
}

const connected = [];  // the clients the test file connected, closed when its bridge stops
const connector = (Make, Transport, mode) => async (bridge, { session, name = "agent" } = {}) => {
  const client = new Make({ name, version: "1.0.0" }, mode && { versionNegotiation: { mode } });
  const headers = session === undefined ? {} : { "x-lumenbox-session": session };
  await client.connect(new Transport(new URL(bridge.url()), { requestInit: { headers } }));
  return connected.push(client), client;
};
// The three ways an agent connects over HTTP: the 1.x SDK (legacy handshake) and the 2.x client
// pinned to the modern revision or left to negotiate. Each gives a connected client.
export const httpClients = {
  "sdk 1.32.2 (legacy)": connector(LegacyClient, LegacyHttpTransport),
  "client 2.4.0 (pinned)": connector(Client, StreamableHTTPClientTransport, { pin: MODERN }),
  "client 2.4.0 (auto)": connector(Client, StreamableHTTPClientTransport, "auto"),
};

// tools/call through either client: the 1.x SDK takes its options third, the 2.x client second.
export const callTool = (client, name, args, options) => client instanceof LegacyClient
  ? client.callTool({ name, arguments: args }, undefined, options) : client.callTool({ name, arguments: args }, options);

// The one text block of a tool result.
export function textOf(result) {
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, "text");
  return result.content[0].text;
}

// Checks that `result` is a tool failure whose text matches `pattern`.
export function assertToolError(result, pattern, what) {
  assert.equal(result.isError, true, what);
  assert.equal(result.structuredContent, undefined, what);
  assert.match(textOf(result), pattern, what);
}
