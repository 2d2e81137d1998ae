// The web viewer page in Chromium, with a stand-in for the host's FileMaker object.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import {
  Bridge, WAIT_MS, launchBrowser, openWebviewer, screenshot, waitForRegistered, waitForText,
} from "../support/harness.mjs";

describe("web viewer page", () => {
  let bridge;
  let browser;

  before(async () => {
    bridge = await Bridge.start();
    browser = await launchBrowser();
  });

  after(async () => {
    const pageErrors = browser?.pageErrors ?? [];
    await browser?.close();
    await bridge?.stop();
    assert.deepEqual(pageErrors, []);
  });

  test("registers its file, runs scripts for /callScript and answers pings", async () => {
    const page = await openWebviewer(browser, bridge, "Invoices");
    await waitForText(page.locator("#status-title"), "Connected to Invoices");
    assert.match(await page.locator("#status-detail").textContent(), /available to AI agents through MCP/);

    const call = await bridge.post("/callScript", { connectedFileName: "Invoices", scriptName: "Echo", data: { n: 1 } });
    assert.equal(call.status, 200);
    const result = await call.json();
    assert.deepEqual(result.result, { echoed: { n: 1 } });
    assert.equal(typeof result.fetchId, "string");

    // A client's session is approved on first use (enhanced security is off) and shows up.
    const ping = await bridge.get("/webviewerPing?fileName=Invoices", { "x-lumenbox-session": "7f3c9a21-agent-session" });
    assert.equal(ping.status, 200);
    const pong = await ping.json();
    assert.equal(pong.code, "webviewer_responsive");
    assert.equal(pong.status, "ok");

    await waitForText(page.locator(".client"), "7f3c9a21");
    assert.match(await page.locator("#security-text").textContent(), /off: new connections are approved automatically/);
    assert.equal(await page.locator("#version-warning").isHidden(), true);
    assert.equal(await page.locator("#agent-browser-chip").isHidden(), true);
    await screenshot(page, "webviewer-connected-light");
    await page.emulateMedia({ colorScheme: "dark" });
    await screenshot(page, "webviewer-connected-dark");

    // Only the served page's own address was ever asked for.
    assert.deepEqual(browser.offHost, []);
    await page.close();
  });

  test("lists the file's authorized clients and revokes them", async () => {
    assert.equal(await bridge.command("approve 1f2e3d4c5b6a-desktop Reports desk-agent 1500"), "ok");
    assert.equal(await bridge.command("approve 99aa88bb-elsewhere Contacts other-agent"), "ok");
    assert.equal(await bridge.command("token abcdefgh12345678 Reports"), "ok");
    const page = await openWebviewer(browser, bridge, "Reports");
    const clients = page.locator("#client-list .client");

    await waitForText(clients, "desk-agent");
    assert.equal(await clients.count(), 2);  // the session and the token of this file only
    assert.match(await clients.nth(0).textContent(), /1f2e3d4c · expires in 25 min/);
    assert.match(await clients.nth(1).textContent(), /Persistent token.*abcdefgh/);
    assert.equal(await page.locator("#clients-summary").textContent(), "1 session and 1 persistent token can reach this file.");
    await screenshot(page, "webviewer-clients");

    await page.getByRole("button", { name: "Revoke desk-agent session 1f2e3d4c" }).click();
    await clients.filter({ hasText: "desk-agent" }).waitFor({ state: "detached", timeout: WAIT_MS });
    const sessions = await (await bridge.get("/sessions")).json();
    const prefixes = sessions.sessions.map((s) => s.sessionIdPrefix);
    assert.ok(!prefixes.includes("1f2e3d4c"));
    assert.ok(prefixes.includes("99aa88bb"));  // another file's session stays

    await page.getByRole("button", { name: "Revoke persistent token abcdefgh" }).click();
    await waitForText(page.locator("#clients-summary"), "No clients authorized yet");
    assert.deepEqual((await (await bridge.get("/sessions")).json()).persistentTokens, []);

    // "Revoke all" ends every session of the bridge, other files' too.
    assert.equal(await bridge.command("approve 0badc0de-late Reports late-agent"), "ok");
    await waitForText(clients, "late-agent");
    await page.getByRole("button", { name: "Revoke all sessions" }).click();
    await waitForText(page.locator("#clients-summary"), "No clients authorized yet");
    assert.deepEqual((await (await bridge.get("/sessions")).json()).sessions, []);
    await page.close();
  });

  test("reconnects after the bridge restarts", async () => {
    const page = await openWebviewer(browser, bridge, "Invoices");
    assert.equal(await bridge.command("stop"), "stopped");
    await waitForText(page.locator("#status-title"), "Reconnecting to Invoices");
    await screenshot(page, "webviewer-reconnecting");
    assert.match(await bridge.command("start"), /^listening /);
    await waitForRegistered(page);
    await waitForText(page.locator("#status-title"), "Connected to Invoices");
    assert.equal((await bridge.get("/webviewerPing?fileName=Invoices")).status, 200);
    await page.close();
  });

  test("closing the connector asks first and then runs LB_close_MCP", async () => {
    const page = await openWebviewer(browser, bridge, "Invoices");
    const closeCalls = () => page.evaluate(() => window.__fileMakerCalls.filter((c) => c.name === "LB_close_MCP"));
    const dialog = page.getByRole("dialog", { name: "Are you sure?" });

    await page.getByRole("button", { name: "Close connector…" }).click();
    await dialog.waitFor({ timeout: WAIT_MS });
    assert.match(await dialog.textContent(), /no longer reach Invoices/);
    await screenshot(page, "webviewer-close-dialog");
    await dialog.getByRole("button", { name: "Keep open" }).click();
    await dialog.waitFor({ state: "hidden", timeout: WAIT_MS });
    assert.deepEqual(await closeCalls(), []);

    await page.evaluate(() => window.confirmCloseLumenboxMCP());
    await dialog.getByRole("button", { name: "Close anyway" }).click();
    await page.waitForFunction(() => window.__fileMakerCalls.some((c) => c.name === "LB_close_MCP"), null, { timeout: WAIT_MS });
    assert.deepEqual(await closeCalls(), [{ name: "LB_close_MCP", param: "" }]);
    await page.close();
  });

  test("warns when the file's add-on is older than the plug-in", async () => {
    const page = await openWebviewer(browser, bridge, "Archive", { addOnVersion: "3.1.4" });
    const warning = page.locator("#version-warning");
    await warning.waitFor({ timeout: WAIT_MS });
    assert.match(await warning.textContent(), /version 3\.1\.4, older than the plug-in \(version 3\.2\.0\)/);
    await page.setViewportSize({ width: 300, height: 520 });
    await screenshot(page, "webviewer-version-warning-narrow");
    await page.close();
  });

  test("reports a host that cannot run scripts", async () => {
    const page = await openWebviewer(browser, bridge, "Loose", { fileMaker: false });
    const call = await bridge.post("/callScript?timeout=500", { connectedFileName: "Loose", scriptName: "Echo" });
    assert.equal((await call.json()).code, "script_timeout");
    await waitForText(page.locator("#status-title"), "Connection issue for Loose");
    assert.match(await page.locator("#status-detail").textContent(), /Could not run the script Echo/);
    await screenshot(page, "webviewer-error");
    await page.close();
  });

  test("callback functions and the lumenbox object send callbacks", async () => {
    const page = await openWebviewer(browser, bridge, "Invoices", { query: "&knownCallbacks=reportProgress" });
    const names = await page.evaluate(() => window.__LUMENBOX__.knownCallbacks.join(","));
    assert.equal(names, "chunkReceived,handleFMCallback,handleFmWVFetchCallback,reportProgress,streamingChunkReceived,streamingComplete");

    // What the page sends for these reaches the file's agent browser; another page listens as one.
    const listener = await browser.context.newPage();
    await listener.goto(bridge.url("/health"));
    await listener.evaluate((url) => new Promise((resolve) => {
      window.received = [];
      const socket = new WebSocket(url);
      socket.onopen = () => socket.send(JSON.stringify({ type: "register", role: "agent-browser", fileName: "Invoices" }));
      socket.onmessage = (event) => {
        const message = JSON.parse(event.data);
        if (message.type === "status") resolve();
        if (message.type === "callback") window.received.push([message.fn, message.args]);
      };
    }), `ws://127.0.0.1:${bridge.port}/ws`);

    await page.locator("#agent-browser-chip").waitFor({ timeout: WAIT_MS });
    await page.evaluate(() => {
      window.reportProgress(1, "half");
      window.lumenbox.finished({ ok: true });
      window.__fm__.log(undefined);
    });
    await listener.waitForFunction(() => window.received.length === 3, null, { timeout: WAIT_MS });
    assert.deepEqual(await listener.evaluate(() => window.received), [
      ["reportProgress", [1, "half"]],
      ["lumenbox.finished", [{ ok: true }]],
      ["__fm__.log", [null]],
    ]);
    await listener.close();
    await screenshot(page, "webviewer-callbacks");
    await page.close();
  });

  test("a script result too large for the WebSocket fails its call and the page stays connected", async () => {
    const page = await openWebviewer(browser, bridge, "Bulky");
    assert.equal(await page.evaluate(() => window.__LUMENBOX__.messageLimit), 16 * 1024 * 1024);
    // A script of this file whose result is as long as the caller asks.
    await page.evaluate(() => {
      const perform = window.FileMaker.PerformScript;
      window.FileMaker.PerformScript = (name, param) => {
        if (name !== "Grow") return perform(name, param);
        const envelope = JSON.parse(param);
        setTimeout(() => window.handleFMCallback("x".repeat(envelope.data.bytes), envelope.callback.fetchId), 0);
      };
    });

    const call = await bridge.post("/callScript", { connectedFileName: "Bulky", scriptName: "Grow", data: { bytes: 17 * 1024 * 1024 } });
    assert.equal(call.status, 502);
    const failure = await call.json();
    assert.equal(failure.code, "result_too_large");
    assert.equal(failure.limitBytes, 16 * 1024 * 1024);
    assert.ok(failure.resultBytes > 17 * 1024 * 1024);

    const after = await bridge.post("/callScript", { connectedFileName: "Bulky", scriptName: "Echo", data: [1] });
    assert.deepEqual((await after.json()).result, { echoed: [1] });
    assert.ok((await (await bridge.get("/connectedFiles")).json()).includes("Bulky"));
    await page.close();
  });
});
