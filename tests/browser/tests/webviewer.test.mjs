// The web viewer page in Chromium, with a stand-in for the host's FileMaker object.
import assert from "node:assert/strict";
import { describe, test } from "node:test";
import {
  WAIT_MS, openWebviewer, screenshot, textOf, useBridgeAndBrowser, waitForRegistered, waitForText, waitGone, waitUntil,
} from "../support/harness.mjs";

describe("web viewer page", () => {
  const suite = useBridgeAndBrowser();
  const call = async (fileName, scriptName, data, query = "") => {
    const reply = await suite.bridge.post(`/callScript${query}`, { connectedFileName: fileName, scriptName, data });
    return { status: reply.status, ...(await reply.json()) };
  };
  const click = (page, name) => page.getByRole("button", { name }).click();

  test("registers its file, runs scripts for /callScript, answers pings and reconnects after a restart", async () => {
    const { bridge } = suite;
    const page = await openWebviewer(suite, "Invoices");
    const title = page.locator("#status-title");
    await waitForText(title, "Connected to Invoices");
    assert.match(await textOf(page, "#status-detail"), /available to AI agents through MCP/);
    const result = await call("Invoices", "Echo", { n: 1 });
    assert.deepEqual([result.status, result.result, typeof result.fetchId], [200, { echoed: { n: 1 } }, "string"]);
    // A client's session is approved on first use (enhanced security is off) and shows up.
    const session = { "x-lumenbox-session": "7f3c9a21-agent-session" };
    const pong = await (await bridge.get("/webviewerPing?fileName=Invoices", session)).json();
    assert.deepEqual([pong.code, pong.status], ["webviewer_responsive", "ok"]);
    await waitForText(page.locator(".client"), "7f3c9a21");
    assert.match(await textOf(page, "#security-text"), /off: new connections are approved automatically/);
    const hidden = (selector) => page.locator(selector).isHidden();
    assert.deepEqual([await hidden("#version-warning"), await hidden("#agent-browser-chip")], [true, true]);
    await screenshot(page, "webviewer-connected");
    await bridge.command("stop");
    await waitForText(title, "Reconnecting to Invoices");
    await bridge.command("start");
    await waitForRegistered(page);
    await waitForText(title, "Connected to Invoices");
    assert.equal((await bridge.get("/webviewerPing?fileName=Invoices")).status, 200);
    await page.close();
  });

  test("lists the file's authorized clients and revokes them", async () => {
    const { bridge } = suite;
    await bridge.command("approve 1f2e3d4c5b6a-desktop Reports desk-agent 1500",
      "approve 99aa88bb-elsewhere Contacts other-agent", "token abcdefgh12345678 Reports");
    const page = await openWebviewer(suite, "Reports");
    const clients = page.locator("#client-list .client"), summary = page.locator("#clients-summary");
    await waitForText(clients, "desk-agent");
    // The session and the token of this file only.
    const kinds = (await clients.allTextContents())
      .map((t) => [/1f2e3d4c · expires in 25 min/.test(t), /Persistent token.*abcdefgh/.test(t)]);
    assert.deepEqual(kinds, [[true, false], [false, true]]);
    assert.equal(await summary.textContent(), "1 session and 1 persistent token can reach this file.");
    await click(page, "Revoke desk-agent session 1f2e3d4c");
    await waitGone(clients, "desk-agent");
    const prefixes = (await bridge.json("/sessions")).sessions.map((s) => s.sessionIdPrefix);
    assert.ok(!prefixes.includes("1f2e3d4c") && prefixes.includes("99aa88bb"), prefixes.join());  // others stay
    await click(page, "Revoke persistent token abcdefgh");
    await waitForText(summary, "No clients authorized yet");
    assert.deepEqual((await bridge.json("/sessions")).persistentTokens, []);
    // "Revoke all" ends every session of the bridge, other files' too.
    await bridge.command("approve 0badc0de-late Reports late-agent");
    await waitForText(clients, "late-agent");
    await click(page, "Revoke all sessions");
    await waitForText(summary, "No clients authorized yet");
    assert.deepEqual((await bridge.json("/sessions")).sessions, []);
    // Two tokens behind the one prefix shown: the bridge refuses (409) and the page says so.
    await bridge.command("token 0f0f0f0f11111111 Reports", "token 0f0f0f0f22222222 Reports");
    await waitForText(summary, "2 persistent tokens");
    await page.getByRole("button", { name: "Revoke persistent token 0f0f0f0f" }).first().click();
    await waitForText(page.locator("#revoke-error"), "Could not revoke: Token prefix is ambiguous.");
    assert.equal((await bridge.json("/sessions")).persistentTokens.length, 2);
    await page.close();
  });

  test("closing the connector asks first and then runs LB_close_MCP", async () => {
    const page = await openWebviewer(suite, "Invoices");
    const closeCalls = () => page.evaluate(() => window.__fileMakerCalls.filter((c) => c.name === "LB_close_MCP"));
    const dialog = page.getByRole("dialog", { name: "Are you sure?" });
    await click(page, "Close connector…");
    await waitForText(dialog, "no longer reach Invoices");
    await dialog.getByRole("button", { name: "Keep open" }).click();
    await dialog.waitFor({ state: "hidden", timeout: WAIT_MS });
    assert.deepEqual(await closeCalls(), []);
    await page.evaluate(() => window.confirmCloseLumenboxMCP());
    await dialog.getByRole("button", { name: "Close anyway" }).click();
    await waitUntil(page, () => window.__fileMakerCalls.some((c) => c.name === "LB_close_MCP"));
    assert.deepEqual(await closeCalls(), [{ name: "LB_close_MCP", param: "" }]);
    await page.close();
  });

  test("warns of an add-on older than the plug-in and reports a host that cannot run scripts", async () => {
    const old = await openWebviewer(suite, "Archive", { addOnVersion: "3.1.4" });
    await waitForText(old.locator("#version-warning"), /version 3\.1\.4, older than the plug-in \(version 3\.2\.0\)/);
    const loose = await openWebviewer(suite, "Loose");
    await loose.evaluate(() => { window.FileMaker.PerformScript = () => { throw new Error("Scripts are off"); }; });
    assert.equal((await call("Loose", "Echo", undefined, "?timeout=500")).code, "script_timeout");
    await waitForText(loose.locator("#status-title"), "Connection issue for Loose");
    assert.match(await textOf(loose, "#status-detail"), /Could not run the script Echo/);
    await Promise.all([old.close(), loose.close()]);
  });

  test("in a plain browser the page is a calm preview that never connects, until a FileMaker object comes", async () => {
    const { bridge, browser } = suite;
    const open = async (query, init) => {
      const page = await browser.context.newPage(), sockets = [];
      page.on("websocket", (socket) => sockets.push(socket.url()));
      if (init) await page.addInitScript(init);
      await page.goto(bridge.url(`/webviewer${query}`));
      return { page, sockets, status: page.locator("#status") };
    };
    const plain = await open("?fileName=Plain");
    await waitForText(plain.status, "Preview: open this page in a FileMaker web viewer");
    await plain.page.locator('#status[data-file-maker="absent"]').waitFor({ timeout: WAIT_MS });
    const nameless = await open("");
    await waitForText(nameless.status, "No file name given");
    assert.deepEqual([await plain.status.getAttribute("data-state"), await nameless.status.getAttribute("data-state"),
      await plain.page.locator("#close-button").isHidden()], ["preview", "warning", true]);
    assert.deepEqual([...plain.sockets, ...nameless.sockets], []);
    assert.ok(!(await bridge.json("/connectedFiles")).includes("Plain"));
    await screenshot(plain.page, "webviewer-preview");
    // A web viewer that hands the page its FileMaker object late still connects.
    const late = await open("?fileName=Late",
      () => setTimeout(() => { window.FileMaker = { PerformScript() {}, PerformScriptWithOption() {} }; }, 300));
    await waitForRegistered(late.page);
    assert.ok((await bridge.json("/connectedFiles")).includes("Late"));
    await Promise.all([plain.page.close(), nameless.page.close(), late.page.close()]);
  });

  test("callback functions and the lumenbox object send callbacks to the file's agent browser", async () => {
    const page = await openWebviewer(suite, "Invoices", { query: "&knownCallbacks=reportProgress" });
    assert.equal(await page.evaluate(() => window.__LUMENBOX__.knownCallbacks.join(",")),
      "chunkReceived,handleFMCallback,handleFmWVFetchCallback,reportProgress,streamingChunkReceived,streamingComplete");
    // Another page listens as the file's agent browser.
    const listener = await suite.browser.context.newPage();
    await listener.goto(suite.bridge.url("/health"));
    await listener.evaluate((url) => new Promise((resolve) => {
      const socket = Object.assign(new WebSocket(url), { onmessage: ({ data }) => {
        const message = JSON.parse(data);
        if (message.type === "status") resolve();
        if (message.type === "callback") window.received.push([message.fn, message.args]);
      } });
      window.received = [];
      socket.onopen = () =>
        socket.send(JSON.stringify({ type: "register", role: "agent-browser", fileName: "Invoices" }));
    }), `ws://127.0.0.1:${suite.bridge.port}/ws`);
    await page.locator("#agent-browser-chip").waitFor({ timeout: WAIT_MS });
    await page.evaluate(() => (window.reportProgress(1, "half"), window.lumenbox.finished({ ok: true }),
      window.__fm__.log(undefined)));
    await waitUntil(listener, () => window.received.length === 3);
    assert.deepEqual(await listener.evaluate(() => window.received),
      [["reportProgress", [1, "half"]], ["lumenbox.finished", [{ ok: true }]], ["__fm__.log", [null]]]);
    await Promise.all([listener.close(), page.close()]);
  });

  test("a script result too large for the WebSocket fails its call and the page stays connected", async () => {
    const page = await openWebviewer(suite, "Bulky");
    const limit = 16 * 1024 * 1024, bytes = limit + 1024 * 1024;
    assert.equal(await page.evaluate(() => window.__LUMENBOX__.messageLimit), limit);
    // A script of this file whose result is as long as the caller asks.
    await page.evaluate(() => {
      const perform = window.FileMaker.PerformScript;
      window.FileMaker.PerformScript = (name, param) => {
        if (name !== "Grow") return perform(name, param);
        const { data, callback } = JSON.parse(param);
        setTimeout(() => window.handleFMCallback("x".repeat(data.bytes), callback.fetchId), 0);
      };
    });
    const failure = await call("Bulky", "Grow", { bytes });
    assert.deepEqual([failure.status, failure.code, failure.limitBytes, failure.resultBytes > bytes],
      [502, "result_too_large", limit, true]);
    assert.deepEqual((await call("Bulky", "Echo", [1])).result, { echoed: [1] });
    await page.close();
  });
});
