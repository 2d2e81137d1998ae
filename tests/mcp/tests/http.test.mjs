// The HTTP rules of /mcp as a client without a library meets them, where neither the unit tables
// (which error a request earns, and its status) nor the conformance suite (the modern errors, the
// caching hints, a session's end, ping) nor the integration suite (the event stream's bytes) shows it.
import assert from "node:assert/strict";
import { test } from "node:test";
import { MODERN, modernRequest, raw, useBridge } from "../support/harness.mjs";

const rpc = (method, params = {}, id = 7) => ({ jsonrpc: "2.0", id, method, params });
const initialize = (version = "2025-11-25") =>
  rpc("initialize", { protocolVersion: version, capabilities: {}, clientInfo: { name: "raw", version: "1" } }, 1);
let session;  // a live legacy session: {"mcp-session-id", "mcp-protocol-version"}

const suite = useBridge(async () => {
  await suite.open("Demo");
  const reply = await raw(suite.bridge, { body: initialize() });
  assert.equal(reply.status, 200);
  session = { "mcp-session-id": reply.headers["mcp-session-id"], "mcp-protocol-version": "2025-11-25" };
  assert.equal((await raw(suite.bridge, { headers: session, body: { jsonrpc: "2.0", method: "notifications/initialized" } })).status, 202);
});

// Which refusal a request earns, and each refusal's status, are the unit tables'; here, that the
// endpoint answers with them, and that the loopback policy stands in front of it.
test("requests outside the rules are refused with their own statuses, and no refusal is a 401", async () => {
  const cases = [
    ["a foreign Origin", { headers: { origin: "http://example.com" }, body: initialize() }, 403],
    ["Origin null", { headers: { origin: "null" }, body: initialize() }, 403],
    ["a foreign Host", { headers: { host: "example.com" }, body: initialize() }, 403],
    ["no JSON", { body: "{\"jsonrpc\":" }, 400, -32700, null],
    ["an unknown session", { headers: { "mcp-session-id": "no-such-session" }, body: rpc("tools/list") }, 404],
    ["GET", { method: "GET" }, 405],
  ];
  for (const [what, request, status, code, id] of cases) {
    const reply = await raw(suite.bridge, request);
    assert.equal(reply.status, status, `${what}: ${reply.text}`);
    assert.equal(reply.headers["access-control-allow-origin"], undefined, what);
    if (code !== undefined) assert.deepEqual([reply.json?.error?.code, reply.json?.id], [code, id], what);
  }
  assert.match((await raw(suite.bridge, { method: "GET" })).headers.allow, /POST/);
  assert.match((await raw(suite.bridge, { body: rpc("tools/list") })).text, /Mcp-Session-Id required/);
});

test("a missing Accept gets JSON", async () => {
  const plain = await raw(suite.bridge, { headers: { ...session, accept: null }, body: rpc("tools/list") });
  assert.equal(plain.status, 200);
  assert.match(plain.headers["content-type"], /^application\/json/);
  assert.equal(plain.json.result.tools.length, 3);
});

test("a legacy session answers its errors with 200, echoes ids, and ends with DELETE", async () => {
  const { json, headers } = await raw(suite.bridge, { body: initialize("2024-11-05") });
  assert.deepEqual([json.result.protocolVersion, json.result.serverInfo.name], ["2024-11-05", "lumenbox"]);
  assert.match(headers["mcp-session-id"], /^[\x21-\x7e]{22,}$/, "at least 128 random bits, visible ASCII");
  assert.notEqual(headers["mcp-session-id"], session["mcp-session-id"]);
  assert.equal((await raw(suite.bridge, { body: initialize("1999-01-01") })).json.result.protocolVersion, "2025-11-25");

  const own = { "mcp-session-id": headers["mcp-session-id"] };
  for (const [body, code] of [[rpc("no/such/method", {}, "a"), -32601], [rpc("tools/call", { name: "nope", arguments: {} }, 9), -32602]]) {
    const reply = await raw(suite.bridge, { headers: own, body });
    assert.deepEqual([reply.status, reply.json.id, reply.json.error.code], [200, body.id, code], body.method);
  }
  assert.equal((await raw(suite.bridge, { headers: own, body: { jsonrpc: "2.0", id: 4, result: {} } })).status, 202);
  assert.equal((await raw(suite.bridge, { method: "DELETE", headers: own })).status, 204);
  assert.equal((await raw(suite.bridge, { method: "DELETE", headers: own })).status, 404);
});

test("the modern generation discovers, lists with cache hints, and ignores a session header", async () => {
  const discover = modernRequest("server/discover");
  const { status, json } = await raw(suite.bridge, { ...discover, headers: { ...discover.headers, "mcp-session-id": "stale" } });
  assert.equal(status, 200);
  assert.deepEqual([json.result.resultType, json.result.supportedVersions], ["complete", [MODERN]]);
  assert.deepEqual(json.result.capabilities.tools, { listChanged: false });
  assert.equal(json.result._meta["io.modelcontextprotocol/serverInfo"].name, "lumenbox");

  const list = (await raw(suite.bridge, modernRequest("tools/list"))).json.result;
  assert.deepEqual([list.resultType, list.cacheScope, list.tools.length], ["complete", "private", 3]);
});
