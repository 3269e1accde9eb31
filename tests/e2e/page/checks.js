// Drives the native side through its one channel and reports each check.
(function () {
  const focus = window.__QUILLSTONE_FOCUS__ || "";
  const checks = [];
  const check = (name, fn) => checks.push([name, fn]);
  const expect = (cond, detail) => { if (!cond) throw new Error(detail); };
  const rejects = (message) => post(message).then(() => null, (e) => e.message);

  check("globals", async () => {
    expect(typeof window.__QUILLSTONE_FOLDER__ === "string" && window.__QUILLSTONE_FOLDER__.includes(" \u2192 "),
           "folder global: " + window.__QUILLSTONE_FOLDER__);
    expect(window.QuillstoneHost && window.QuillstoneHost.distribution === "direct", "distribution");
    expect(typeof window.QuillstoneHost.auth.signIn === "function", "auth wrapper");
    expect(window.QuillstoneHost.claude === undefined, "no assistant wrapper while it is off");
  });
  check("open", async () => {
    const raw = await post({ op: "open" });
    expect(typeof raw === "string" && raw.charCodeAt(0) === 0x1e, "raw reply " + String(raw).slice(0, 40));
    expect(decode(raw).kind === "ready" && Array.isArray(decode(raw).state.docs), "ready workspace");
  });
  check("errors", async () => {
    expect((await rejects({ op: "Open" })) === "Unknown op Open", "wrong case");
    expect((await rejects({})) === "Unknown op ", "no op");
    expect((await rejects("text")) === "No window", "not an object");
  });
  check("write", async () => {
    const answer = await write(record({ id: "e2e-doc", title: "From the page", nodes: [{ id: "n1", text: "Written end to end." }] }));
    expect(answer === true, "write reply " + answer);
    const bad = decode(await post({ op: "write", batch: { docs: [{ id: "a/b", doc: { title: "Bad" } }] } }));
    expect(bad.message === "Couldn't write \u201cBad\u201d to Documents \u2192 Quillstone.", "failure message " + JSON.stringify(bad));
  });
  check("images", async () => {
    const answers = [await post({ op: "getImage", id: "none" }), decode(await post({ op: "putImage", id: "cap-1", src: "tiny" })),
                     decode(await post({ op: "getImage", id: "cap-1" }))];
    expect(JSON.stringify(answers) === JSON.stringify(["\u001enull", true, "tiny"]), JSON.stringify(answers));
  });
  check("signin", async () => {
    const message = await window.QuillstoneHost.auth.signIn().catch((e) => e.message);
    expect(message === "failed", "sign-in without a service fails: " + message);
    expect((await window.QuillstoneHost.auth.user()) === null, "no user");
  });
  check("scheme", async () => {
    // (Each header and type: the scheme handler's unit tests. Here, what reaches WebKit's page.)
    const page = await fetch("quillstone://app/index.html");
    expect((page.headers.get("content-security-policy") || "").startsWith("default-src 'self'; script-src 'self'"), "policy");
    for (const path of ["nothing-here.txt", "%2e%2e/host/bridge.js"]) {
      const missing = await fetch("quillstone://app/" + path);
      expect(missing.status === 404 && (await missing.text()) === "Not found", path + " " + missing.status);
    }
  });
  check("hostile", async () => {
    // None of these may crash the program or touch a file outside the library.
    const deep = JSON.parse("[".repeat(400) + "]".repeat(400));
    const messages = [
      { op: "getImage", id: "../../../etc/passwd" }, { op: "putImage", id: "../outside", src: "x" },
      { op: "putImage", id: "a_b", src: "x" }, { op: "dropImage", id: "/" }, { op: "reveal", id: "../.." },
      { op: "write", batch: { docs: [{ id: "..", doc: {} }, { id: "x".repeat(129), doc: {} }, 7, null, { id: "ok\u0000", doc: {} }] } },
      { op: "write", batch: "nonsense" }, { op: "write", batch: { docs: [{ id: "deep", doc: { id: "deep", nodes: deep } }] } },
      { op: "snapshot", backup: { format: "quillstone/document" } }, { op: "doc", id: 5, title: ["x"] },
      { op: "state", huge: "y".repeat(2000000) }, { op: "contextMenu", items: [1, "a", null] },
      { op: "chrome", bg: "rgb(", tone: 7, full: "yes" }, { op: "saveFile", name: "../../x", data: "no comma" },
      { op: "log", text: "line\nQuillstone: forged" }, { op: "claudeAsk" }, { op: "claudeCancel", requestId: 3 },
    ];
    for (const m of messages) await post(m).catch(() => {});  // a refusal is fine; a crash is not
    expect(decode(await post({ op: "getImage", id: "cap-1" })) === "tiny", "still answering");
  });
  check("links", async () => {
    // Links to other programs never navigate the page away: this script keeps running.
    for (const href of ["ftp://example.invalid/file", "https://example.invalid/", "file:///tmp"]) {
      const a = document.body.appendChild(document.createElement("a"));
      a.href = href;
      a.click();
      await pause(300);
    }
    expect(location.href.startsWith("quillstone://app/"), "still on the app page: " + location.href);
  });

  if (focus === "") {
    // The first window takes records written elsewhere, but only after a while: until then
    // deliveries are retried.
    setTimeout(() => {
      window.QuillstoneApp = { applyExternal: (records) => {
        if (records.some((r) => r && r.id === "e2e-broadcast")) report("PASS broadcast");
      } };
      report("READY-EXTERNAL");
    }, 1500);
    window.QuillstoneMac = { settle: async () => {
      await write(record({ id: "e2e-settled", title: "Settled at quit", nodes: [] }));
      report("SETTLED");
    } };
  } else if (focus === "e2e-doc") {
    // The second window writes; the first must receive it. Its page never settles (the promise is
    // held, so it stays pending rather than being collected), nor does the foreign page it goes
    // to, which gets no answers from the native side: the quit waits for it.
    window.QuillstoneMac = { settle: () => new Promise((resolve) => { window.neverSettled = resolve; }) };
  }

  (async () => {
    if (focus === "e2e-doc") {
      await write(record({ id: "e2e-broadcast", title: "Broadcast", nodes: [] }));
      await post({ op: "loaded" });
      await report("SECOND-DONE");
      const html = '<script src="quillstone://app/foreign.js"></' + 'script>';
      location.href = URL.createObjectURL(new Blob([html], { type: "text/html" }));
      return;
    }
    for (const [name, fn] of checks) {
      try { await fn(); await report("PASS " + name); } catch (e) { await report("FAIL " + name + ": " + e.message); }
    }
    await post({ op: "loaded" });
    await report("DONE");
  })();
})();
