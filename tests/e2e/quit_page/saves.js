// A writer who never stops: rounds of saves of the same documents, each round a newer revision,
// until the program asks the page to settle. The settle saves one last document and waits for
// its answer, as an editor flushing its pending edit would. Every answered save is reported, so
// the test knows what must be on disk.
(function () {
  const handler = window.webkit.messageHandlers.quillstoneHost;
  const post = (message) => handler.postMessage(message);
  const decode = (r) => (typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);
  const report = (text) => post({ op: "log", text: "E2E " + text });
  const DOCS = 6, PARAGRAPHS = 30;

  // The test rebuilds the same text from the id and the revision.
  const record = (key, rev) => {
    const id = "q-" + key, nodes = [];
    for (let j = 0; j < PARAGRAPHS; j++) {
      nodes.push({ id: "n" + j, text: id + " rev " + rev + " paragraph " + j + " " + "words ".repeat(40) });
    }
    return { id, rev, updated: 1000 + rev, deleted: false, doc: { id, title: "Quit " + key, nodes } };
  };
  const save = async (key, rev) => {
    if (decode(await post({ op: "write", batch: { docs: [record(key, rev)] } })) === true) {
      report("SAVED " + key + " " + rev);
    }
  };

  let rev = 0, settling = false;
  window.QuillstoneMac = {
    settle: async () => {
      settling = true;
      await save("final", rev);
    },
  };
  (async () => {
    await post({ op: "loaded" });
    report("WRITING");
    while (!settling) {
      rev += 1;
      const saves = [];
      for (let k = 0; k < DOCS; k++) saves.push(save(k, rev));
      await Promise.all(saves);
    }
  })();
})();
