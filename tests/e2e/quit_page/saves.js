// A writer who never stops: rounds of saves of the same documents, each round a newer revision,
// until the program asks the page to settle. The settle saves one last document and waits for its
// answer, as an editor flushing its pending edit would. Every answered save is reported, so the
// test knows what must be on disk (it rebuilds the same text from the id and the revision).
(function () {
  const save = async (key, rev) => {
    const id = "q-" + key, nodes = [];
    for (let j = 0; j < 30; j++) nodes.push({ id: "n" + j, text: id + " rev " + rev + " paragraph " + j + " " + "words ".repeat(40) });
    const answer = await write({ id, rev, updated: 1000 + rev, deleted: false, doc: { id, title: "Quit " + key, nodes } });
    if (answer === true) report("SAVED " + key + " " + rev);
  };
  let rev = 0, settling = false;
  window.QuillstoneMac = { settle: async () => { settling = true; await save("final", rev); } };
  (async () => {
    await post({ op: "loaded" });
    report("WRITING");
    while (!settling) {
      rev += 1;
      await Promise.all([0, 1, 2, 3, 4, 5].map((k) => save(k, rev)));
    }
  })();
})();
