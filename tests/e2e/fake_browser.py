#!/usr/bin/env python3
# Stands in for the desktop's web browser in the sign-in test: waits for the test's go-ahead,
# follows the service's start page to the app link it ends on, and opens that link the way the
# desktop does (gio open, which starts `quillstone %u` from the installed desktop entry).
import os, subprocess, sys, time, urllib.error, urllib.request

url = sys.argv[1]
with open(os.environ["QS_E2E_BROWSER_LOG"], "a") as log:
    log.write("OPENED %d %s\n" % (os.getpid(), url))
deadline = time.monotonic() + 90
while not os.path.exists(os.environ["QS_E2E_BROWSER_GO"]) and time.monotonic() < deadline:
    time.sleep(0.1)

# Redirects are followed over http; the one to the app's link ends it, refused with its address.
try:
    urllib.request.urlopen(url, timeout=10)
    sys.exit("the start page did not send the browser on")
except urllib.error.HTTPError as e:
    location = e.headers.get("Location") or ""
subprocess.run(["gio", "open", location], check=True, timeout=60)
