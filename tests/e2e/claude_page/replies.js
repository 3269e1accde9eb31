// Asks three questions, then answers the replies the native side hands over: the first is taken,
// the second left waiting. After that the window closes itself.
(function () {
  const ids = { take: "r-11111111-1111-4111-8111-111111111111", wait: "r-33333333-3333-4333-8333-333333333333",
                closed: "r-44444444-4444-4444-8444-444444444444" };
  const seen = new Set();
  // Closing the window asks the page to settle first.
  window.QuillstoneMac = { settle: async () => { await report("SETTLED-ON-CLOSE"); } };
  window.QuillstoneApp = {
    claudeReply: (id, bullets, from, options) => {
      report("REPLY " + id + " " + JSON.stringify(bullets) + " " + from + " " + JSON.stringify(options || {}));
      if (seen.add(id).has(ids.take) && seen.has(ids.wait)) setTimeout(() => { report("CLOSING"); window.close(); }, 300);
      return id === ids.take ? true : null;  // null: not ready, the reply waits
    },
  };
  (async () => {
    for (const [name, requestId] of Object.entries(ids)) {
      const answer = await window.QuillstoneHost.claude.ask({
        requestId, doc: { id: "doc-a", title: "A document" }, thought: { id: "t-" + name },
        thread: [{ id: "m1", who: "writer", text: "What do you make of " + name + "?" }],
      });
      if (answer !== true) await report("FAIL ask " + name + ": " + JSON.stringify(answer));
    }
    await report("ASKED");
    await post({ op: "loaded" });
  })();
})();
