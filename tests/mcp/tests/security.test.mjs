// Enhanced security through /mcp: which session a request runs under, and what run_script and
// ping_file do for a session that is approved, unapproved, allowed or denied.
import assert from "node:assert/strict";
import { randomUUID } from "node:crypto";
import { test } from "node:test";
import { MODERN, assertToolError, callTool, httpClients, modernRequest, raw, textOf, until, useBridge } from "../support/harness.mjs";

const suite = useBridge(() => suite.open("Demo"));
const echo = (client, data = 1) => callTool(client, "run_script", { fileName: "Demo", scriptName: "Echo", data });
const sessions = async () => (await (await fetch(suite.bridge.url("/sessions"))).json()).sessions;

test("with enhanced security off, the first call approves the session under the client's name, else lumenbox-mcp", async () => {
  const nameless = modernRequest("tools/call", { name: "run_script", arguments: { fileName: "Demo", scriptName: "Echo" } },
    { headers: { "x-lumenbox-session": "nameless-session" }, meta: { "io.modelcontextprotocol/protocolVersion": MODERN,
      "io.modelcontextprotocol/clientCapabilities": {} } });
  assert.equal((await raw(suite.bridge, nameless)).status, 200);
  assert.equal((await sessions()).find((entry) => entry.sessionIdPrefix === "nameless")?.serviceName, "lumenbox-mcp");
  for (const [label, connect] of Object.entries(httpClients)) {
    const session = randomUUID(), name = `agent ${label}`;
    const result = await echo(await connect(suite.bridge, { session, name }));
    assert.equal(result.structuredContent?.result, 1, label);
    const listed = (await sessions()).find((entry) => session.startsWith(entry.sessionIdPrefix));
    assert.deepEqual([listed?.serviceName, listed?.files], [name, ["Demo"]], label);
  }
});

test("while the user decides, progress is sent; a cancelled request closes its question", async () => {
  await suite.bridge.command("security on");  // no one answers questions yet
  for (const [label, connect] of Object.entries(httpClients)) {
    const client = await connect(suite.bridge, { session: randomUUID() });
    const abort = new AbortController();
    let progressed = false;
    const pending = callTool(client, "run_script", { fileName: "Demo", scriptName: "Echo" },
      { signal: abort.signal, onprogress: () => (progressed = true) });
    await until(() => progressed, `${label}: progress while the question is open`);
    assert.equal((await suite.bridge.pending()).questions, 1, label);
    abort.abort();
    await assert.rejects(pending);
    await until(async () => (await suite.bridge.pending()).questions === 0, `${label}: the question to close`);
  }
});

test("with enhanced security on, only approved or allowed sessions run scripts and ping", async () => {
  await suite.bridge.command("security on");
  for (const [label, connect] of Object.entries(httpClients)) {
    const approved = randomUUID();
    await suite.bridge.command(`approve ${approved} Demo approved-agent`);
    assert.equal((await echo(await connect(suite.bridge, { session: approved }), 2)).structuredContent?.result, 2, label);

    await suite.bridge.command("answer deny");
    const denied = await connect(suite.bridge, { session: randomUUID() });
    assertToolError(await echo(denied), /denied|not approved|approv/i, `${label}: denied`);
    assertToolError(await callTool(denied, "ping_file", { fileName: "Demo" }), /approv|denied/i,
      `${label}: ping denied`);
    // The version probe needs no approval, as with POST /callScript.
    const version = await callTool(denied, "run_script", { fileName: "Demo", scriptName: "LB_get_version" });
    assert.equal(version.structuredContent?.result, "3.2.0", label);

    await suite.bridge.command("answer allow");
    const allowed = await connect(suite.bridge, { session: randomUUID() });
    assert.equal((await echo(allowed, 3)).structuredContent?.result, 3, `${label}: allowed`);
    assert.equal((await callTool(allowed, "ping_file", { fileName: "Demo" })).structuredContent?.alive, true);
  }
});

test("without a session, a modern request is told how to add the header; a legacy one runs under its Mcp-Session-Id", async () => {
  await suite.bridge.command("security on", "answer allow");
  const modern = await httpClients["client 2.4.0 (pinned)"](suite.bridge);
  assertToolError(await echo(modern), /x-lumenbox-session/, "no session");
  const legacy = await httpClients["sdk 1.32.2 (legacy)"](suite.bridge);
  assert.equal((await echo(legacy, 4)).structuredContent?.result, 4, textOf(await echo(legacy, 4)));
  const listed = (await sessions()).find((entry) => legacy.transport.sessionId.startsWith(entry.sessionIdPrefix));
  assert.equal(listed?.serviceName, "agent", "approved under its Mcp-Session-Id");
});
