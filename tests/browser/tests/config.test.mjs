// The configuration page: the bridge's sessions and persistent tokens, revoking them, and the
// snippets that connect an agent.
import assert from "node:assert/strict";
import { describe, test } from "node:test";
import { screenshot, textOf, useBridgeAndBrowser, waitForText, waitGone } from "../support/harness.mjs";

describe("configuration page", () => {
  const suite = useBridgeAndBrowser();
  // The page is made for an ordinary browser window.
  async function openConfig() {
    const page = await suite.browser.context.newPage();
    await page.setViewportSize({ width: 960, height: 720 });
    await page.goto(suite.bridge.url("/config"));
    return page;
  }

  test("lists sessions and tokens with their services and time left, revokes them, and shows refusals", async () => {
    const { bridge } = suite;
    let page = await openConfig();
    await waitForText(page.locator("#sessions"), "No active sessions.");
    await waitForText(page.locator("#tokens"), "No registered persistent tokens.");
    assert.equal(await textOf(page, "#notice"), "Enhanced Security off. Session authorization unenforced.");
    assert.deepEqual([await page.isVisible("#security-hint"), await page.isVisible("#revoke-all")], [true, false]);
    assert.match(await textOf(page, "#security-hint"), /Configure…, tick Enable Enhanced Security .*--enhanced-security on/s);
    assert.deepEqual(await page.locator("dd").allTextContents(), ["v3.2.0", `http://127.0.0.1:${bridge.port}`]);
    await page.close();

    // Two tokens share the prefix the page shows, so revoking by it is refused (409).
    await bridge.command("security on", "approve 5d41402a-desk-0001 Invoices desk-agent",
      "approve 5d41402a-desk-0001 Contacts desk-agent", "approve 9e107d9d-code-0002 Invoices code-helper 900",
      "token c4ca4238a0b923820dcc Invoices", "token c4ca4238ffff00001111 Contacts", "token eccbc87e4b5ce2fe Invoices");
    page = await openConfig();
    const rows = page.locator("#sessions li"), tokens = page.locator("#tokens li");
    await waitForText(rows, "9e107d9d");
    assert.deepEqual(await rows.locator("span").allTextContents(),
      ["desk-agent - 5d41402a - Contacts, Invoices - 1 h left", "code-helper - 9e107d9d - Invoices - 15 min left"]);
    assert.deepEqual((await tokens.locator("span").allTextContents()).sort(),
      ["c4ca4238 - Contacts", "c4ca4238 - Invoices", "eccbc87e - Invoices"]);
    assert.equal(await textOf(page, "#notice"), "Enhanced Security on. Script calls require authorization.");
    assert.deepEqual([await page.isVisible("#security-hint"), await page.isVisible("#revoke-all")], [false, true]);
    await screenshot(page, "config");

    await page.getByRole("button", { name: "Revoke session 9e107d9d" }).click();
    await waitGone(rows, "9e107d9d");
    await page.getByRole("button", { name: "Revoke token eccbc87e" }).click();
    await waitGone(tokens, "eccbc87e");
    await page.getByRole("button", { name: "Revoke token c4ca4238" }).first().click();
    await waitForText(page.locator("#action-error"), "Could not revoke: Token prefix is ambiguous.");
    await page.getByRole("button", { name: "Revoke all sessions" }).click();
    await waitForText(page.locator("#sessions"), "No active sessions.");
    const listing = await bridge.json("/sessions");
    assert.deepEqual([listing.sessions, listing.persistentTokens.length, await textOf(page, "#action-error")], [[], 2, ""]);

    await bridge.command("stop");
    await waitForText(page.locator("#sessions"), "Could not load sessions. ");
    assert.match(await textOf(page, "#tokens"), /^Could not load tokens. /);
    // A restarted bridge starts with the same store: the lists come back at the next refresh.
    await bridge.command("start");
    await waitForText(page.locator("#tokens"), "c4ca4238");
    await page.close();
  });

  test("connects an agent with four snippets that share a fresh session id and copy as shown", async () => {
    const { bridge, browser } = suite;
    const url = bridge.url("/mcp");
    const snippets = async (page) => Object.fromEntries(await page.locator("#agents [data-agent]").evaluateAll(
      (agents) => agents.map((agent) => [agent.dataset.agent, agent.querySelector("pre").textContent])));
    const page = await openConfig();
    const first = await snippets(page);
    const id = /x-lumenbox-session: ([0-9a-f]{32})" lumenbox /.exec(first["claude-code"])?.[1];
    assert.ok(id, first["claude-code"]);
    assert.equal(first["claude-code"], `claude mcp add --transport http --header "x-lumenbox-session: ${id}" lumenbox ${url}`);
    assert.deepEqual([JSON.parse(first.vscode), JSON.parse(first.cursor), JSON.parse(first["claude-desktop"])], [
      { servers: { lumenbox: { type: "http", url, headers: { "x-lumenbox-session": id } } } },
      { mcpServers: { lumenbox: { url, headers: { "x-lumenbox-session": id } } } },
      { mcpServers: { lumenbox: { command: "/path/to/lumenbox-mcp", env: { LUMENBOX_SESSION: id, LUMENBOX_URL: url } } } }]);
    await page.reload();
    const second = await snippets(page);
    assert.notEqual(second["claude-code"], first["claude-code"]);
    assert.equal(second.vscode.match(/[0-9a-f]{32}/g).length, 1);

    // Through the Clipboard API, then through the fallback when the API refuses.
    await browser.context.grantPermissions(["clipboard-read", "clipboard-write"], { origin: bridge.url("") });
    const copy = async (agent) => {
      const button = page.locator(`[data-agent="${agent}"] button`);
      await button.click();
      await waitForText(button, "Copied");
      return page.evaluate(() => navigator.clipboard.readText());
    };
    assert.equal(await copy("vscode"), second.vscode);
    await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new DOMException("refused")); });
    assert.equal(await copy("claude-desktop"), second["claude-desktop"]);
    await screenshot(page, "config-agents");
    await page.close();
  });
});
