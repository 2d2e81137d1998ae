// A page of another site, open in the user's browser, must not reach the bridge: not by a
// cross-site POST that needs no preflight, not by opening the WebSocket and posing as a file's
// web viewer, not by DNS rebinding (its own name resolving to 127.0.0.1), and not by framing the
// connector page.
import assert from "node:assert/strict";
import { describe, test } from "node:test";
import { openWebviewer, useBridgeAndBrowser, useSite } from "../support/harness.mjs";

const attacker = "attacker.test";

describe("pages of other sites", () => {
  const suite = useBridgeAndBrowser({ args: [`--host-resolver-rules=MAP ${attacker} 127.0.0.1`],
    hosts: ["127.0.0.1", attacker] });
  // The bridge's own connector page inside this site's page, as a clickjacker would show it.
  const site = useSite((url) => `<!doctype html><title>Free recipes</title><h1>Recipes</h1>${url.pathname === "/framed"
    ? `<iframe src="${suite.bridge.url("/webviewer?fileName=Framed")}"></iframe>` : ""}`);
  const sitePage = async (target) => {
    const page = await suite.browser.context.newPage();
    await page.goto(`http://${attacker}:${site.port}${target}`);  // waits for frames to load too
    return page;
  };

  test("cannot run a script, register as a web viewer, or read the bridge by rebinding", async () => {
    const { bridge } = suite;
    const webviewer = await openWebviewer(suite, "Invoices");
    const page = await sitePage("/");
    const socket = await page.evaluate(async (port) => {
      const body = JSON.stringify({ connectedFileName: "Invoices", scriptName: "Echo", data: "stolen" });
      const options = { method: "POST", mode: "no-cors", headers: { "Content-Type": "text/plain" }, body };
      await fetch(`http://127.0.0.1:${port}/callScript`, options).catch(Boolean);
      return new Promise((resolve) => {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
        const register = { type: "register", fileName: "Invoices", role: "webviewer" };
        ws.onopen = () => resolve("open", ws.send(JSON.stringify(register)));
        ws.onerror = () => resolve("refused");
      });
    }, bridge.port);
    assert.equal(socket, "refused");
    assert.ok(!(await webviewer.evaluate(() => window.__fileMakerCalls.map((call) => call.name))).includes("Echo"));

    const rebound = await page.goto(`http://${attacker}:${bridge.port}/connectedFiles`);
    assert.deepEqual([rebound.status(), await rebound.text()], [403, '{"error":"Host not allowed."}']);

    // The file's own page and local clients are unaffected.
    assert.deepEqual(await bridge.json("/connectedFiles"), ["Invoices"]);
    const call = await bridge.post("/callScript", { connectedFileName: "Invoices", scriptName: "Echo", data: 7 });
    assert.deepEqual([call.status, (await call.json()).result], [200, { echoed: 7 }]);
  });

  test("cannot frame the connector page", async () => {
    const page = await sitePage("/framed");
    const frame = page.frames().find((candidate) => candidate !== page.mainFrame());
    // The browser shows its own error page in place of the connector page, whose script never ran.
    const connector = await frame.evaluate(() => typeof window.__LUMENBOX__).catch(() => "blocked");
    assert.notEqual(connector, "object", frame.url());
    assert.ok(!(await suite.bridge.json("/connectedFiles")).includes("Framed"));
  });
});
