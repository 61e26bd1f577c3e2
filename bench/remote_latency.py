"""Change -> page latency of veltrona-remote: Tempo up / Tempo down written to
the real arranger's console, each stamped, and the time the page (headless
Chromium) rendered the status with that tempo, read from its vtnStamps.
Also prints the page's weight and the remote's resident memory.
   /usr/bin/python3 bench/remote_latency.py BUILD_DIR [CHANGES]"""
import os
import re
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "remote"))
from remote_rig import PIN, Rig, wait_for  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402


def main():
    build = os.path.abspath(sys.argv[1])
    changes = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    rig = Rig([os.path.join(build, "veltrona"), os.path.join(build, "tools/veltrona-tool/veltrona-tool"),
               os.path.join(build, "tools/veltrona-remote/veltrona-remote"), os.path.join(root, "demo"), build])
    options = webdriver.ChromeOptions()
    for a in ("--headless=new", "--disable-gpu", "--window-size=390,844") + (("--no-sandbox",) if os.geteuid() == 0 else ()):
        options.add_argument(a)
    d = webdriver.Chrome(options=options)
    try:
        d.get("http://127.0.0.1:%d/" % rig.port)
        wait_for("the login page", lambda: d.find_element(By.ID, "pin").is_displayed())
        d.find_element(By.ID, "pin").send_keys(PIN)
        d.find_element(By.CSS_SELECTOR, "#login-form button").click()
        wait_for("the live status", lambda: d.execute_script("return window.vtnStamps.length") > 0)
        weight = d.execute_script(
            "return performance.getEntriesByType('resource').concat(performance.getEntriesByType('navigation'))"
            ".filter(e => /\\/(app\\.js|style\\.css)?$/.test(e.name)).reduce((n, e) => n + e.transferSize, 0)")
        print("page weight (HTML+CSS+JS, transferred): %d bytes" % weight)

        latencies = []
        tempo = int(re.search(r"tempo (\d+)", rig.status()).group(1))
        for i in range(changes):
            seen = d.execute_script("return window.vtnStamps.length")
            sent = time.time() * 1000
            rig.console("Tempo up" if i % 2 == 0 else "Tempo down")
            stamp = wait_for("change %d on the page" % i, lambda: d.execute_script(
                "const s = window.vtnStamps; for (let k = arguments[0]; k < s.length; k++)"
                " if (s[k][1] !== arguments[1]) return s[k][0]; return 0;", seen, tempo), 5)
            tempo = d.execute_script("return window.vtnStamps[window.vtnStamps.length - 1][1]")
            latencies.append(stamp - sent)
        latencies.sort()
        pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]
        print("change -> page over %d changes: p50 %.1f ms, p99 %.1f ms, max %.1f ms"
              % (len(latencies), pick(0.50), pick(0.99), latencies[-1]))
        with open("/proc/%d/status" % rig.remote.pid) as f:
            print("remote " + [l for l in f if l.startswith("VmRSS")][0].strip())
    finally:
        d.quit()
        rig.close()


if __name__ == "__main__":
    main()
