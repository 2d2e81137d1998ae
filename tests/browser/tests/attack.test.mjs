// A page of another site, open in the user's browser, must not reach the bridge: not by a
// cross-site POST that needs no preflight, not by opening the WebSocket and posing as a file's
// web viewer, and not by DNS rebinding (its own name resolving to 127.0.0.1).
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { after, before, describe, test } from "node:test";
import { Bridge, launchBrowser, openWebviewer, screenshot } from "../support/harness.mjs";

const attacker = "attacker.test";

describe("pages of other sites", () => {
  let bridge;
  let browser;
  let site;

  before(async () => {
    bridge = await Bridge.start();
    browser = await launchBrowser({ args: [`--host-resolver-rules=MAP ${attacker} 127.0.0.1`], hosts: ["127.0.0.1", attacker] });
    site = createServer((request, response) => {
      response.setHeader("content-type", "text/html; charset=utf-8");
      if (request.url === "/framed") {
        // The bridge's own connector page inside this site's page, as a clickjacker would show it.
        response.end(`<!doctype html><title>Recipes</title><iframe id="frame" src="http://127.0.0.1:${bridge.port}/webviewer?fileName=Framed"></iframe>`);
        return;
      }
      response.end("<!doctype html><title>Free recipes</title><h1>Free recipes</h1>");
    });
    await new Promise((resolve) => site.listen(0, "127.0.0.1", resolve));
  });

  after(async () => {
    await browser?.close();
    await bridge?.stop();
    await new Promise((resolve) => site?.close(resolve) ?? resolve());
  });

  test("cannot run a script, register as a web viewer, or read the bridge by rebinding", async () => {
    const webviewer = await openWebviewer(browser, bridge, "Invoices");
    const page = await browser.context.newPage();
    await page.goto(`http://${attacker}:${site.address().port}/`);

    const outcome = await page.evaluate(async (bridgePort) => {
      const body = JSON.stringify({ connectedFileName: "Invoices", scriptName: "Echo", data: "stolen" });
      await fetch(`http://127.0.0.1:${bridgePort}/callScript`, {
        method: "POST", mode: "no-cors", headers: { "Content-Type": "text/plain" }, body,
      }).catch(() => null);
      const socket = await new Promise((resolve) => {
        const ws = new WebSocket(`ws://127.0.0.1:${bridgePort}/ws`);
        ws.onopen = () => {
          ws.send(JSON.stringify({ type: "register", fileName: "Invoices", role: "webviewer" }));
          resolve("open");
        };
        ws.onerror = () => resolve("refused");
      });
      return { socket };
    }, bridge.port);
    assert.equal(outcome.socket, "refused");

    const scripts = await webviewer.evaluate(() => window.__fileMakerCalls.map((call) => call.name));
    assert.ok(!scripts.includes("Echo"), `the web viewer ran ${scripts.join(", ")}`);

    const rebound = await page.goto(`http://${attacker}:${bridge.port}/connectedFiles`);
    assert.equal(rebound.status(), 403);
    assert.equal(await rebound.text(), '{"error":"Host not allowed."}');
    await screenshot(page, "attack-rebinding-refused");

    // The file's own page and local clients are unaffected.
    assert.deepEqual(await (await bridge.get("/connectedFiles")).json(), ["Invoices"]);
    const call = await bridge.post("/callScript", JSON.stringify({ connectedFileName: "Invoices", scriptName: "Echo", data: 7 }));
    assert.equal(call.status, 200);
    assert.deepEqual((await call.json()).result, { echoed: 7 });
  });

  test("cannot frame the connector page", async () => {
    const page = await browser.context.newPage();
    await page.goto(`http://${attacker}:${site.address().port}/framed`);  // waits for the frame's load too
    const frame = page.frames().find((candidate) => candidate !== page.mainFrame());
    assert.ok(frame, "the frame is missing");
    // The browser shows its own error page in place of the connector page, whose script never ran.
    const connector = await frame.evaluate(() => typeof window.__LUMENBOX__).catch(() => "blocked");
    assert.notEqual(connector, "object", `the frame shows ${frame.url()}`);
    assert.ok(!(await (await bridge.get("/connectedFiles")).json()).includes("Framed"));
    await screenshot(page, "attack-framing-refused");
  });
});
