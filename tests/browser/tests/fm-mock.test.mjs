// The mock script in a developer's page: scripts of an open file run through the file's web
// viewer page, and the scripts' callbacks reach the developer's page.
import assert from "node:assert/strict";
import { describe, test } from "node:test";
import {
  consoleMessage, openWebviewer, screenshot, useBridgeAndBrowser, useSite, waitUntil,
} from "../support/harness.mjs";

// A developer's page, served from its own origin (a development server), that loads the mock from
// the bridge with the query `mock`; with `host`, the page already has the host's FileMaker object.
const developerPage = (bridgePort, mock, host) => `<!doctype html><meta charset="utf-8"><title>Greeting widget</title>
<style>body{font:15px system-ui,sans-serif;margin:24px}</style><h1>Greeting widget</h1><p id="bridge">Waiting…</p>
<p id="greeting">No greeting yet</p>
${host ? "<script>window.hostCalls = 0; window.FileMaker = { PerformScript: () => window.hostCalls++ };</script>" : ""}
<script>
  Object.assign(window, { greetings: [], notes: [], statuses: [], lumenbox: { notify: (note) => notes.push(note) } });
  window.showGreeting = (text) => (window.greetings.push(text), greeting.textContent = text);
  window.__FM_BRIDGE_STATUS__ = (status) => (window.statuses.push(status),
    bridge.textContent = status.webviewerConnected ? "File connected" : "File not connected");
</script>
<script src="http://127.0.0.1:${bridgePort}/fm-mock.js?${mock}"></script>`;

describe("mock script", () => {
  const suite = useBridgeAndBrowser();
  const devServer = useSite((url) =>
    developerPage(suite.bridge.port, url.searchParams.get("mock") ?? "", url.searchParams.has("host")));
  // The developer's page loading the mock with `mock` (a query), after `init`; console lines to `logs`.
  const openDeveloperPage = async (mock, { host = false, init, logs } = {}) => {
    const page = await suite.browser.context.newPage();
    if (init) await page.addInitScript(init);
    if (logs) page.on("console", (message) => logs.push(message.text()));
    await page.goto(`http://127.0.0.1:${devServer.port}/?${host ? "host=1&" : ""}mock=${encodeURIComponent(mock)}`);
    return page;
  };
  const greetCalls = (webviewer) =>
    webviewer.evaluate(() => window.__fileMakerCalls.filter((c) => c.name !== "LB_get_version"));

  test("runs the file's scripts through its web viewer and delivers their callbacks, early calls too", async () => {
    const webviewer = await openWebviewer(suite, "Invoices", { query: "&knownCallbacks=showGreeting" });
    const logs = [];
    const page = await openDeveloperPage("fileName=Invoices&debug=1", { logs });
    await waitUntil(page, () => window.statuses.some((s) => s.webviewerConnected && s.agentBrowserConnected));

    await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    await waitUntil(page, () => window.greetings.length === 1 && window.notes.length === 1);
    assert.deepEqual(await page.evaluate(() => [greetings, notes]), [["Hello, Ada!"], [{ greeted: "Ada" }]]);
    // Values that are not text reach the host as text; a missing one as "".
    await page.evaluate(() => (FileMaker.PerformScriptWithOption("Greet", 42, 3), FileMaker.PerformScript(undefined)));
    await waitUntil(webviewer, () => window.__fileMakerCalls.length >= 4);
    assert.deepEqual(await greetCalls(webviewer),
      [{ name: "Greet", param: "Ada" }, { name: "Greet", param: "42", option: 3 }, { name: "", param: "" }]);
    await waitUntil(page, () => window.greetings.length === 2);
    assert.ok(logs.some((line) => line.startsWith("[fm-mock] registered as agent browser for Invoices")), logs.join());
    await screenshot(page, "fm-mock-developer-page");

    // A call made before the connection is up waits for it.
    const early = await openDeveloperPage("fileName=Invoices", {
      init: () => document.addEventListener("DOMContentLoaded", () => window.FileMaker.PerformScript("Greet", "early")),
    });
    await waitUntil(early, () => window.greetings.includes("Hello, early!"));
    await Promise.all([page.close(), early.close(), webviewer.close()]);
  });

  test("tells the page when its file has no web viewer, and stays out of the way of a real host", async () => {
    const page = await openDeveloperPage("fileName=Nowhere");
    await waitUntil(page, () => window.statuses.length > 0);
    assert.equal(await page.locator("#bridge").textContent(), "File not connected");
    const refusal = consoleMessage(page, "No FileMaker connection for Nowhere");
    await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    const message = await refusal;
    assert.deepEqual([message.type(), message.text().startsWith("[fm-mock]")], ["error", true], message.text());

    const hosted = await openDeveloperPage("fileName=Hosted", { host: true });
    await hosted.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
    const hostedSees = await hosted.evaluate(() => [hostCalls, typeof FileMaker.PerformScriptWithOption]);
    assert.deepEqual(hostedSees, [1, "undefined"]);
    assert.ok(!(await suite.bridge.json("/bridgeStatus")).some((entry) => entry.fileName === "Hosted"));
    await Promise.all([page.close(), hosted.close()]);
  });

  test("with enhanced security on, runs a page's calls only once the user approves its session", async () => {
    const { bridge } = suite;
    const webviewer = await openWebviewer(suite, "Invoices", { query: "&knownCallbacks=showGreeting" });
    await bridge.command("security on", "answer deny");
    try {
      const denied = await openDeveloperPage("fileName=Invoices&session=denied-page-0123456789&clientName=Widget");
      const refusal = consoleMessage(denied, "Session not approved for Invoices: the user denied access.");
      await denied.evaluate(() => window.FileMaker.PerformScript("Greet", "Denied"));
      await refusal;

      // A page that names no session gets one of its own, approved once.
      await bridge.command("answer allow");
      const page = await openDeveloperPage("fileName=Invoices");
      await page.evaluate(() => window.FileMaker.PerformScript("Greet", "Ada"));
      await waitUntil(page, () => window.greetings.includes("Hello, Ada!"));
      assert.deepEqual((await greetCalls(webviewer)).map((c) => c.param), ["Ada"]);  // the denied one never reached it
      const approved = (await bridge.json("/sessions")).sessions.filter((s) => s.serviceName === "fm-mock");
      assert.deepEqual(approved.map((s) => s.files), [["Invoices"]]);
      await Promise.all([denied.close(), page.close()]);
    } finally {
      await bridge.command("security off");
      await webviewer.close();
    }
  });
});
