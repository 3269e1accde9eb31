// Startup probe. Opens the workspace as the editor page does ("open", decode, "loaded"), then
// times more "open" round trips beside the page's own JSON.parse of each reply text. Reports one
// line through the "log" op, which the program writes to standard error as
// "Quillstone page: BENCH {…}". Times are epoch milliseconds (Date.now, comparable with the
// launching script's clock) or durations from performance.now.
(function () {
  "use strict";
  const scriptAt = Date.now();
  const config = Object.assign({ rounds: 5, pause: 300 }, window.__QUILLSTONE_BENCH__ || {});
  const handler = window.webkit.messageHandlers.quillstoneHost;
  const post = (message) => handler.postMessage(message);
  const report = (what) => post({ op: "log", text: "BENCH " + JSON.stringify(what) });
  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  // The raw reply is timed apart from its decoding: the first is the host and the channel,
  // the second the page's floor.
  async function open() {
    const sent = performance.now();
    const raw = await post({ op: "open" });
    const back = performance.now();
    if (typeof raw !== "string" || raw.charCodeAt(0) !== 0x1e) {
      throw new Error("reply is not encoded JSON");
    }
    const text = raw.slice(1);
    const parseFrom = performance.now();
    const workspace = JSON.parse(text);
    const parsed = performance.now();
    if (!workspace || workspace.kind !== "ready") {
      throw new Error("workspace is " + (workspace && workspace.kind));
    }
    return {
      openMs: back - sent, parseMs: parsed - parseFrom, chars: text.length,
      docs: workspace.state.docs.length,
    };
  }

  async function run() {
    const result = { timeOrigin: performance.timeOrigin, scriptAt };
    result.openSentAt = Date.now();
    const first = await open();
    result.parsedAt = Date.now();
    await post({ op: "loaded" });
    result.loadedAt = Date.now();
    result.first = first;
    result.rounds = [];
    for (let i = 0; i < config.rounds; ++i) {
      await pause(config.pause);  // lets the collector catch up with the last workspace
      result.rounds.push(await open());
    }
    return result;
  }

  run().then(report, (e) => report({ error: String(e && e.message || e) }));
})();
