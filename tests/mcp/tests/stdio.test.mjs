// lumenbox-mcp as a client that only launches local commands uses it: through the SDK's
// StdioClientTransport, across the bridge going away and coming back, and to the end of its input.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { test } from "node:test";
import { Client as LegacyClient } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport as LegacyStdio } from "@modelcontextprotocol/sdk/client/stdio.js";
import { Client } from "@modelcontextprotocol/client";
import { StdioClientTransport } from "@modelcontextprotocol/client/stdio";
import { MODERN, bounded, paths, useBridge } from "../support/harness.mjs";

const suite = useBridge(() => suite.open("Demo"));
const environment = () => ({ PATH: process.env.PATH, LUMENBOX_URL: suite.bridge.url(), LUMENBOX_SESSION: "stdio-session" });
const clients = {
  "sdk 1.32.2 (legacy)": () => [new LegacyClient({ name: "stdio-agent", version: "1" }), LegacyStdio],
  "client 2.4.0 (pinned)": () => [new Client({ name: "stdio-agent", version: "2" }, { versionNegotiation: { mode: { pin: MODERN } } }),
    StdioClientTransport],
};

for (const [label, make] of Object.entries(clients)) {
  test(`${label}: lists and runs through the program, which survives the bridge going away`, async () => {
    const [client, Transport] = make();
    await client.connect(new Transport({ command: paths.stdioProgram, env: environment(), stderr: "ignore" }));
    try {
      const echo = () => client.callTool({ name: "run_script", arguments: { fileName: "Demo", scriptName: "Echo", data: label } });
      assert.deepEqual((await client.listTools()).tools.map((tool) => tool.name), ["list_files", "run_script", "ping_file"]);
      assert.equal((await echo()).structuredContent.result, label);
      const sessions = (await (await fetch(suite.bridge.url("/sessions"))).json()).sessions;
      assert.ok(sessions.some((entry) => "stdio-session".startsWith(entry.sessionIdPrefix)), "LUMENBOX_SESSION is the session");

      await suite.bridge.command("stop");
      await assert.rejects(echo(), (error) => error.code === -32603 &&
        error.message.includes(`Lumenbox is not reachable at ${suite.bridge.url()}: is FileMaker open with the plug-in enabled?`));
      await suite.bridge.command("start");
      await suite.open("Demo");
      assert.equal((await echo()).structuredContent.result, label);
    } finally {
      await client.close();
    }
  });
}

test("the program writes only JSON-RPC lines to stdout and exits 0 at the end of its input", async () => {
  const child = spawn(paths.stdioProgram, [], { env: environment(), stdio: ["pipe", "pipe", "ignore"] });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const exited = new Promise((resolve) => child.once("exit", (code) => resolve(code)));
  child.stdin.write(JSON.stringify({ jsonrpc: "2.0", id: 1, method: "initialize",
    params: { protocolVersion: "2025-11-25", capabilities: {}, clientInfo: { name: "raw", version: "1" } } }) + "\n");
  const first = JSON.parse((await bounded(lines.next(), "the initialize answer")).value);
  assert.equal(first.id, 1);
  assert.equal(first.result.serverInfo.name, "lumenbox");
  child.stdin.end();
  assert.equal(await bounded(exited, "the program to exit"), 0);
});
