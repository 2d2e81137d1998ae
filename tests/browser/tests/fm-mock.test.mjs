// The mock script in a developer's page: scripts of an open file run through the file's web
// viewer page, and the scripts' callbacks reach the developer's page.
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { after, before, describe, test } from "node:test";
import { Bridge, WAIT_MS, launchBrowser, openWebviewer, screenshot } from "../support/harness.mjs";

// A developer's page, served from its own origin (a development server), that loads the mock
// from the bridge.
function developerPage(bridgePort, query, { withHost = false } = {}) {
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Greeting widget</title>
<style>body{font:15px system-ui,sans-serif;margin:24px;color:#17191c} #greeting{font-size:22px;font-weight:600}</style>
${withHost ? "<script>window.FileMaker = { PerformScript: function () { window.hostCalls = (window.hostCalls || 0) + 1; } };</script>" : ""}
<script>
  window.greetings = [];
  window.notes = [];
  window.statuses = [];
  window.showGreeting = function (text) {
    window.greetings.push(text);
    document.getElementById("greeting").textContent = text;
  };
  window.lumenbox = { notify: function (note) { window.notes.push(note); } };
  window.__FM_BRIDGE_STATUS__ = function (status) {
    window.statuses.push(status);
    document.getElementById("bridge").textContent = status.webviewerConnected ? "File connected" : "File not connected";
  };
</script>
<script src="http://127.0.0.1:${bridgePort}/fm-mock.js?${query}"></script>
</head><body>
<h1>Greeting widget</h1>
<p id="bridge">Waiting for the bridge…</p>
<p id="greeting">No greeting yet</p>
</body></html>`;
}

describe("mock script", () => {
  let bridge;
  let browser;
  let devServer;
  let devOrigin;

  before(async () => {
    bridge = await Bridge.start();
    browser = await launchBrowser();
    devServer = createServer((request, response) => {
      const url = new URL(request.url, "http://127.0.0.1");
      response.setHeader("content-type", "text/html; charset=utf-8");
      response.end(developerPage(bridge.port, url.searchParams.get("mock") ?? "", { withHost: url.searchParams.has("host") }));
    });
    await new Promise((resolve) => devServer.listen(0, "127.0.0.1", resolve));
    devOrigin = `http://127.0.0.1:${devServer.address().port}`;
  });

  after(async () => {
    const pageErrors = browser?.pageErrors ?? [];
    await browser?.close();
    await bridge?.stop();
    await new Promise((resolve) => devServer?.close(resolve) ?? resolve());
    assert.deepEqual(pageErrors, []);
  });

  test("runs the file's scripts through its web viewer and delivers their callbacks", async () => {
    const webviewer = await openWebviewer(browser, bridge, "Invoices", { query: "&knownCallbacks=showGreeting" });
    const page = await browser.context.newPage();
    const logs = [];
    page.on("console", (message) => logs.push(message.text()));
    await page.goto(`${devOrigin}/?mock=${encodeURIComponent("fileName=Invoices&debug=1")}`);

    // The page learns the bridge's status for its file.
    await page.waitForFunction(() => window.statuses.some((s) => s.webviewerConnected && s.agentBrowserConnected),
                               null, { timeout: WAIT_MS });

    await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    await page.waitForFunction(() => window.greetings.length === 1 && window.notes.length === 1, null, { timeout: WAIT_MS });
    assert.deepEqual(await page.evaluate(() => [window.greetings, window.notes]), [["Hello, Ada!"], [{ greeted: "Ada" }]]);

    // Values that are not text reach the host as text; a missing one as "".
    await page.evaluate(() => window.FileMaker.PerformScriptWithOption("Greet", 42, 3));
    await page.evaluate(() => window.FileMaker.PerformScript(undefined));
    await webviewer.waitForFunction(() => window.__fileMakerCalls.length >= 4, null, { timeout: WAIT_MS });
    const calls = await webviewer.evaluate(() => window.__fileMakerCalls.filter((c) => c.name !== "LB_get_version"));
    assert.deepEqual(calls, [
      { name: "Greet", param: "Ada" },
      { name: "Greet", param: "42", option: 3 },
      { name: "", param: "" },
    ]);
    await page.waitForFunction(() => window.greetings.length === 2, null, { timeout: WAIT_MS });

    assert.ok(logs.some((line) => line.startsWith("[fm-mock] registered as agent browser for Invoices")), logs.join("\n"));
    await screenshot(page, "fm-mock-developer-page");
    assert.deepEqual(browser.offHost, []);
    await page.close();
    await webviewer.close();
  });

  test("calls made before the connection is up wait for it", async () => {
    const webviewer = await openWebviewer(browser, bridge, "Invoices", { query: "&knownCallbacks=showGreeting" });
    const page = await browser.context.newPage();
    await page.addInitScript(() => {
      document.addEventListener("DOMContentLoaded", () => window.FileMaker.PerformScript("Greet", "early"));
    });
    await page.goto(`${devOrigin}/?mock=${encodeURIComponent("fileName=Invoices")}`);
    await page.waitForFunction(() => window.greetings.includes("Hello, early!"), null, { timeout: WAIT_MS });
    await page.close();
    await webviewer.close();
  });

  test("tells the page when its file has no web viewer", async () => {
    const page = await browser.context.newPage();
    await page.goto(`${devOrigin}/?mock=${encodeURIComponent("fileName=Nowhere")}`);
    await page.waitForFunction(() => window.statuses.length > 0, null, { timeout: WAIT_MS });
    assert.equal(await page.locator("#bridge").textContent(), "File not connected");

    const refusal = page.waitForEvent("console", {
      predicate: (message) => message.text().includes("No FileMaker connection for Nowhere"),
      timeout: WAIT_MS,
    });
    await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    const message = await refusal;
    assert.equal(message.type(), "error");
    assert.ok(message.text().startsWith("[fm-mock]"), message.text());
    await page.close();
  });

  test("stays out of the way of a real FileMaker interface", async () => {
    const page = await browser.context.newPage();
    await page.goto(`${devOrigin}/?host=1&mock=${encodeURIComponent("fileName=Hosted")}`);
    await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    assert.equal(await page.evaluate(() => window.hostCalls), 1);
    assert.equal(await page.evaluate(() => typeof window.FileMaker.PerformScriptWithOption), "undefined");
    const status = await (await bridge.get("/bridgeStatus")).json();
    assert.ok(!status.some((entry) => entry.fileName === "Hosted"));
    await page.close();
  });

  test("with enhanced security on, runs a page's calls only once the user approves its session", async () => {
    const webviewer = await openWebviewer(browser, bridge, "Invoices", { query: "&knownCallbacks=showGreeting" });
    assert.equal(await bridge.command("security on"), "ok");
    try {
      assert.equal(await bridge.command("answer deny"), "ok");
      const denied = await browser.context.newPage();
      await denied.goto(`${devOrigin}/?mock=${encodeURIComponent("fileName=Invoices&session=denied-page-0123456789&clientName=Widget")}`);
      const refusal = denied.waitForEvent("console", {
        predicate: (message) => message.text().includes("Session not approved for Invoices: the user denied access."),
        timeout: WAIT_MS,
      });
      await denied.evaluate(() => window.FileMaker.PerformScript("Greet", "Denied"));
      await refusal;
      await denied.close();

      // A page that names no session gets one of its own, approved once.
      assert.equal(await bridge.command("answer allow"), "ok");
      const page = await browser.context.newPage();
      await page.goto(`${devOrigin}/?mock=${encodeURIComponent("fileName=Invoices")}`);
      await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
      await page.waitForFunction(() => window.greetings.includes("Hello, Ada!"), null, { timeout: WAIT_MS });
      const calls = await webviewer.evaluate(() => window.__fileMakerCalls.filter((c) => c.name === "Greet"));
      assert.deepEqual(calls.map((c) => c.param), ["Ada"]);  // the denied call never reached the file
      const listing = await (await bridge.get("/sessions")).json();
      const approved = listing.sessions.filter((s) => s.serviceName === "fm-mock");
      assert.equal(approved.length, 1);
      assert.deepEqual(approved[0].files, ["Invoices"]);
      await page.close();
    } finally {
      await bridge.command("security off");
      await webviewer.close();
    }
  });
});
