// Signs in through the page's wrappers on the first run (its first window closes with a sign-in
// under way, a second window signs in), and, once the program has started again, gets a token and
// signs out.
(function () {
  const auth = window.QuillstoneHost.auth;
  const check = (name, ok, detail) => report(ok ? "PASS " + name : "FAIL " + name + ": " + detail);
  const isToken = (t) => typeof t === "string" && t.split(".").length === 3;
  const ada = (u) => JSON.stringify(u) === JSON.stringify({ id: "u-1", name: "Ada", email: "" });

  // Once the browser has the start page (the test then puts "opened.txt" beside this page), the
  // sign-in is under way.
  async function browserOpened() {
    for (let n = 0; n < 600 && (await fetch("opened.txt?n=" + n)).status !== 200; n++) await pause(100);
  }

  async function firstRun() {
    check("no token before signing in", (await auth.token()) === null, "a token");
    if (!localStorage.getItem("closed-once")) {
      // The window goes with the browser part under way: that sign-in ends with it.
      localStorage.setItem("closed-once", "1");
      auth.signIn();
      await browserOpened();
      report("CLOSING");
      window.close();
      return;
    }
    const signingIn = auth.signIn();
    await browserOpened();
    let second = null;
    try { await auth.signIn(); } catch (e) { second = e.message; }
    check("a second sign-in is busy", second === "busy", String(second));
    report("WAITING");  // the browser goes on now
    const answer = await signingIn;
    check("signed in", ada(answer.user), JSON.stringify(answer));
    check("the user", ada(await auth.user()), "user");
    check("the token that came with the session", isToken(await auth.token()), "token");
    report("SIGNED-IN");
  }

  async function secondRun(user) {
    check("still signed in after a restart", ada(user), JSON.stringify(user));
    check("a fresh token", isToken(await auth.token()), "token");
    check("signed out", (await auth.signOut()) === true, "sign-out");
    check("no user after signing out", (await auth.user()) === null, "user");
    check("no token after signing out", (await auth.token()) === null, "token");
    report("SIGNED-OUT");
  }

  window.addEventListener("load", async () => {
    try {
      const user = await auth.user();
      await (user ? secondRun(user) : firstRun());
    } catch (e) {
      check("sign-in page", false, e.message);
      report("SIGNED-OUT");
    }
  });
})();
