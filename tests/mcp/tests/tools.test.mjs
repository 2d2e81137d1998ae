// The three tools as each official HTTP client sees them: the list, each tool's answers and
// failures, progress and cancellation. Enhanced security is off (the default).
import assert from "node:assert/strict";
import { before, describe, test } from "node:test";
import { MODERN, assertToolError, bounded, callTool, httpClients, textOf, until, useBridge } from "../support/harness.mjs";

const TOOLS = ["list_files", "run_script", "ping_file"];

const suite = useBridge(async () => {
  await suite.open("Demo");
  await suite.open("Alpha");
  await suite.open("Silent", { silent: true });
  suite.agentBrowser = await suite.open("Alpha", { role: "agent-browser" });
});

for (const [label, connect] of Object.entries(httpClients)) {
  describe(label, () => {
    let client;
    before(async () => (client = await connect(suite.bridge)));
    const call = (name, args, options) => callTool(client, name, args, options);

    test("the server names itself and lists the three tools in order, with schemas and annotations", async () => {
      assert.equal(client.getServerVersion().name, "lumenbox");
      // The 2.x client, pinned or left to negotiate, speaks the modern generation with this server.
      if (client.getNegotiatedProtocolVersion) assert.equal(client.getNegotiatedProtocolVersion(), MODERN);
      assert.deepEqual(client.getServerCapabilities().tools, { listChanged: false });
      assert.match(client.getInstructions(), /list_files[\s\S]*FileMaker|FileMaker[\s\S]*list_files/);
      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((tool) => tool.name), TOOLS);
      for (const tool of tools) {
        assert.equal(tool.inputSchema.type, "object", tool.name);
        assert.equal(tool.outputSchema?.type, "object", tool.name);
        assert.equal(tool.annotations?.readOnlyHint, tool.name !== "run_script", tool.name);
      }
      assert.deepEqual(tools[1].inputSchema.required.sort(), ["fileName", "scriptName"]);
    });

    test("each tool answers with structured content and its compact JSON as the one text block", async () => {
      const data = { list: [1, "two", null], nested: { ok: true } };
      const cases = [
        ["list_files", {}, (content) => assert.deepEqual(content, { files: ["Alpha", "Demo", "Silent"] })],
        ["run_script", { fileName: "Demo", scriptName: "Echo", data }, (content) => {
          assert.deepEqual({ ...content, fetchId: "" }, { fileName: "Demo", scriptName: "Echo", fetchId: "", result: data });
          assert.match(content.fetchId, /./);
        }],
        ["ping_file", { fileName: "Alpha" }, (content) => {
          assert.equal(content.alive, true);
          assert.ok(Number.isInteger(content.elapsedMs) && content.elapsedMs >= 0);
        }],
        // A page that is gone or never answers is a normal result, not a failure.
        ["ping_file", { fileName: "Nowhere" }, (content) => assert.deepEqual(content, { fileName: "Nowhere", alive: false })],
        ["ping_file", { fileName: "Silent", timeoutMs: 20 }, (content) => assert.deepEqual(content, { fileName: "Silent", alive: false })],
      ];
      for (const [name, args, check] of cases) {
        const result = await call(name, args);
        assert.ok(!result.isError, `${name} ${JSON.stringify(args)}: ${JSON.stringify(result)}`);
        check(result.structuredContent);
        assert.equal(textOf(result), JSON.stringify(result.structuredContent));
      }
    });

    test("bad arguments and unreachable scripts are tool errors an agent can act on", async () => {
      const cases = [
        ["run_script", { fileName: "Nowhere", scriptName: "Echo" }, /Nowhere[\s\S]*(Alpha|Demo)/],
        ["run_script", { fileName: "Demo", scriptName: "Hold", timeoutMs: 1 }, /still.*running/i],
        // Which arguments are refused and why is the dispatch's unit test; here, that it is a tool error.
        ["run_script", { fileName: "Demo", scriptName: "Echo", timeoutMs: 0 }, /timeoutMs/],
        ["ping_file", { fileName: "Demo", timeoutMs: 5001 }, /timeoutMs/],
        // A script that ran and answered {"error": ...} failed, as POST /callScript's 422 says.
        ["run_script", { fileName: "Demo", scriptName: "Echo", data: { error: "No such record", id: 4 } },
          /"Echo" ran in "Demo" and reported an error: No such record/],
      ];
      for (const [name, args, pattern] of cases) assertToolError(await call(name, args), pattern, `${name} ${JSON.stringify(args)}`);
      // The call that timed out still waits in the page: answer it, as a slow script would.
      const late = await suite.webviewers[0].nextCall();
      suite.webviewers[0].answer(late, "too late");
    });

    test("an unknown tool is a protocol error, not a tool result", async () => {
      await assert.rejects(call("drop_tables", {}), (error) => error.code === -32602);
    });

    test("progress comes while the page works and before the result; an abort drops the call at once", async () => {
      const page = suite.webviewers[1];  // Alpha
      const progress = [];
      const pending = call("run_script", { fileName: "Alpha", scriptName: "Slow", data: 1 },
        { onprogress: (update) => progress.push(update) });
      const held = await page.nextCall();
      await until(() => progress.length > 0, "a first progress notification");
      page.answer(held, { done: true });
      const result = await bounded(pending, "the slow script's result");
      assert.deepEqual(result.structuredContent.result, { done: true });
      const values = progress.map((update) => update.progress);
      assert.deepEqual(values, [...values].sort((a, b) => a - b));
      assert.equal(new Set(values).size, values.length, "progress strictly increases");

      const abort = new AbortController();
      // Without a progress token, so that the answer would be plain JSON (the event stream's cancellation
      // is in security.test.mjs).
      const cancelled = call("run_script", { fileName: "Alpha", scriptName: "Slow" }, { signal: abort.signal });
      const dropped = await page.nextCall();
      abort.abort();
      await assert.rejects(cancelled);
      await until(async () => (await suite.bridge.pending()).calls === 0, "the cancelled call's entry to be freed");
      // Its late result reaches no one: not the file's agent browser, which gets the page's own callbacks.
      page.answer(dropped, "nobody hears this");
      page.answer({ fetchId: "page-own" }, "marker");
      await until(() => suite.agentBrowser.messages.some((message) => message.args?.[0] === "marker"), "the page's own callback");
      assert.deepEqual(suite.agentBrowser.messages.filter((message) => message.type === "callback").map((m) => m.args[0]), ["marker"]);
      suite.agentBrowser.messages.length = 0;
      // The client and its session go on working.
      assert.equal((await call("run_script", { fileName: "Alpha", scriptName: "Echo", data: 2 })).structuredContent.result, 2);
    });

    test("a call fails and a ping ends as soon as the page goes", async () => {
      const page = await suite.open(`Gone ${label}`, { silent: true });
      const pending = call("run_script", { fileName: page.fileName, scriptName: "Hold" });
      await page.nextCall();
      const ping = call("ping_file", { fileName: page.fileName, timeoutMs: 5000 });
      await until(async () => (await suite.bridge.pending()).pings === 1, "the ping to be sent");
      page.close();
      assertToolError(await bounded(pending, "the failed call"), /web viewer|disconnected|closed/i);
      assert.deepEqual((await bounded(ping, "the ping")).structuredContent, { fileName: page.fileName, alive: false });
    });
  });
}

test("run_script hands the page its data with members in the order the agent sent, as POST /callScript does",
  async () => {
    for (const [label, connect] of Object.entries(httpClients)) {
      const client = await connect(suite.bridge), page = suite.webviewers[0];
      const pending = callTool(client, "run_script", { fileName: "Demo", scriptName: "Hold", data: { zeta: 1, alpha: { y: 1, b: 2 } } });
      const held = await page.nextCall();
      page.answer(held, null);
      await bounded(pending, "the call");
      assert.equal(JSON.stringify(held.data), '{"zeta":1,"alpha":{"y":1,"b":2}}', label);
    }
  });
