// A page with the import input: it reports each change of the input (one script call from the
// native side) with the files' names, types and sizes, and each page command it is asked for.
(function () {
  const post = (m) => window.webkit.messageHandlers.quillstoneHost.postMessage(m);
  const report = (text) => post({ op: "log", text: "E2E " + text });
  let changes = 0;
  window.QuillstoneApp = {
    run: (command) => {
      report("RUN " + command);
      if (command === "library" && !document.querySelector(".library")) {
        const library = document.createElement("div");
        library.className = "library";
        document.body.append(library);
      }
      return true;
    },
  };
  const input = document.createElement("input");
  input.type = "file";
  input.multiple = true;
  input.setAttribute("aria-label", "Files to import");
  input.addEventListener("change", async () => {
    changes += 1;
    const files = [];
    for (const f of input.files) files.push(f.name + ":" + f.type + ":" + (await f.text()));
    report("IMPORT " + changes + " " + files.join(","));
  });
  document.body.append(input);
  report("LOADING");
  post({ op: "loaded" });
})();
