// A page with the import input: it reports each change of the input (one script call from the
// native side) with the files' names, types and contents, and each page command it is asked for.
(function () {
  let changes = 0;
  window.QuillstoneApp = {
    run: (command) => {
      report("RUN " + command);
      if (command === "library" && !document.querySelector(".library")) {
        document.body.append(Object.assign(document.createElement("div"), { className: "library" }));
      }
      return true;
    },
  };
  const input = Object.assign(document.createElement("input"), { type: "file", multiple: true });
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
