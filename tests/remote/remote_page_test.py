"""The phone page in headless Chromium against the real arranger: what the
musician sees follows the arranger, and the taps on it work the arranger.
Screenshots of the main views go to BUILD_DIR/remote-screenshots/.
   argv: VELTRONA VELTRONA_TOOL VELTRONA_REMOTE DEMO_DIR BUILD_DIR"""
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from remote_rig import PIN, Rig, wait_for, write_song_with_lyrics  # noqa: E402

try:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIPPED: python3-selenium is missing (tools/install-deps.sh --test installs it)")
    sys.exit(77)
if not shutil.which("chromedriver") or not (shutil.which("chromium") or shutil.which("chromium-browser")):
    print("SKIPPED: chromium or chromium-driver is missing (tools/install-deps.sh --test installs them)")
    sys.exit(77)


def browser():
    options = webdriver.ChromeOptions()
    for a in ("--headless=new", "--disable-gpu", "--window-size=390,844"):
        options.add_argument(a)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    driver = webdriver.Chrome(options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
    return driver


def tempo_of(status):
    return int(re.search(r"tempo (\d+)", status).group(1))


def main():
    rig = Rig(sys.argv[1:])
    shots = os.path.join(sys.argv[5], "remote-screenshots")
    os.makedirs(shots, exist_ok=True)
    d = browser()
    text = lambda id: d.find_element(By.ID, id).text
    shown = lambda id, want: wait_for("%s to show %r (shows %r)" % (id, want, text(id)), lambda: text(id) == want, 3)
    tap = lambda css: d.find_element(By.CSS_SELECTOR, css).click()
    try:
        # Nothing but the login page without the PIN.
        d.get("http://127.0.0.1:%d/" % rig.port)
        wait_for("the login page", lambda: d.find_element(By.ID, "pin").is_displayed())
        d.find_element(By.ID, "pin").send_keys("0000")
        tap("#login-form button")
        wait_for("the refusal", lambda: "Wrong PIN" in text("login-message"))
        d.find_element(By.ID, "pin").send_keys(PIN)
        tap("#login-form button")
        shown("link", "arranger connected")

        # Changes at the arranger's console show on the page.
        rig.console("Tempo up")
        shown("tempo", str(tempo_of(rig.status())))
        rig.console("Preset voice 2")
        preset = re.search(r"preset (.+?), recording", rig.status()).group(1)
        shown("preset", preset)
        rig.console("DemoWaltz.sty")
        shown("style", "DemoWaltz.sty")
        d.save_screenshot(os.path.join(shots, "main.png"))

        # Taps on the page work the arranger.
        before = tempo_of(rig.status())
        tap("[data-cmd='Tempo up']")
        wait_for("the tempo to rise", lambda: tempo_of(rig.status()) > before, 3)
        tap("[data-cmd='Main B']")
        wait_for("Main B", lambda: "Main B" in rig.status(), 3)

        # Function 46 opens the loader on the page; it lists the style
        # folder and loads a style (a real one when the corpus is there)
        # with a tap.
        corpus = os.path.join(sys.argv[4], "..", "..", "shared", "corpus", "styles", "8Beat.T160.STY")
        pick = "DemoPop.sty"
        if os.path.exists(corpus):
            shutil.copy(corpus, rig.styles)
            pick = "8Beat.T160.STY"
        rig.console("function 46")
        wait_for("the loader", lambda: d.find_element(By.ID, "view-load").is_displayed(), 3)
        wait_for("the style list", lambda: pick in text("styles"))
        d.save_screenshot(os.path.join(shots, "loader.png"))
        d.find_element(By.XPATH, "//ul[@id='styles']//button[.//div[text()='%s']]" % pick).click()
        wait_for(pick + " to load", lambda: "style " + pick in rig.status(), 3)

        # A song's lyrics show, and the marked line follows the song.
        write_song_with_lyrics(os.path.join(rig.midi, "singalong.kar"),
                               ["First line of the song", "Second line here", "Third and last line"])
        rig.console("play: singalong.kar")
        tap("#tabs [data-view=lyrics]")
        wait_for("the lyrics", lambda: "Second line here" in text("lyrics"), 5)
        current = lambda: d.execute_script("const n = document.querySelector('#lyrics li.now'); return n ? n.textContent : ''")
        wait_for("the first line marked", lambda: current().startswith("First"), 5)
        d.save_screenshot(os.path.join(shots, "lyrics.png"))
        wait_for("the second line marked", lambda: current().startswith("Second"), 5)
        # The lyrics functions of the keyboard work every page's lyrics view.
        rig.console("Maximize lyrics")
        wait_for("the lyrics maximised", lambda: "lyrics-max" in d.find_element(By.TAG_NAME, "body").get_attribute("class"), 3)
        rig.console("function 61")
        wait_for("the big font", lambda: "lyrics-big" in d.find_element(By.TAG_NAME, "body").get_attribute("class"), 3)
        rig.console("Maximize lyrics")
        rig.console("function 61")

        # Recordings, with date and length, played back on the arranger or
        # downloaded.
        take = "20261208-201500-DemoPop-Strings.mid"
        shutil.copy(os.path.join(rig.midi, "singalong.kar"), os.path.join(rig.midi, take))
        tap("#tabs [data-view=recordings]")
        wait_for("the recording listed", lambda: "2026-12-08 20:15:00" in text("recordings"), 5)
        d.save_screenshot(os.path.join(shots, "recordings.png"))
        tap("#recordings button.play")
        wait_for("the recording playing", lambda: "song " + take in rig.status(), 5)
        fetched = d.execute_async_script(
            "const done = arguments[0]; fetch(document.querySelector('#recordings a').href)"
            ".then(r => r.arrayBuffer()).then(b => done(String.fromCharCode(...new Uint8Array(b).slice(0, 4))))")
        assert fetched == "MThd", "the download is no MIDI file: %r" % fetched

        # A damaged style is refused with the reader's reason and not kept.
        damaged = os.path.join(rig.tmp, "Broken.sty")
        with open(damaged, "wb") as f:
            f.write(b"MThd\x00\x00\x00\x06\x00\x00\x00\x01\x01\xe0MTrk\xff\xff\xff\xffnot a style at all")
        tap("#tabs [data-view=upload]")
        d.find_element(By.ID, "upload-file").send_keys(damaged)
        tap("#upload-send")
        wait_for("the refusal", lambda: d.find_element(By.ID, "upload-message").get_attribute("class") == "bad", 10)
        print("upload refused:", text("upload-message"))
        assert text("upload-message") not in ("", "Refused", "Sending…"), "no reason given"
        assert not os.path.exists(os.path.join(rig.styles, "Broken.sty")), "the damaged style was kept"
        d.save_screenshot(os.path.join(shots, "upload.png"))
    finally:
        d.quit()
        rc = rig.close()
    assert rc == 0, "the remote did not end cleanly on SIGTERM"


if __name__ == "__main__":
    main()
