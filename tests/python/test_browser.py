"""The play page in a real browser: headless Chromium from Debian, driven by Selenium through the page's own
controls (the tray, the rotate and flip buttons and keys, clicks on the board) for a whole game against
random players. Screenshots of the start, the middle and the end are kept in $TEGULO_ARTIFACTS (default
build/artifacts)."""

import json
import os
import urllib.request
from pathlib import Path

import pytest

if os.environ.get("TEGULO_SANITIZED"):
    pytest.skip("the browser test does not run under the sanitizers", allow_module_level=True)
webdriver = pytest.importorskip("selenium.webdriver", reason="needs selenium: pip install selenium")
pytest.importorskip("starlette", reason="needs the play extra: pip install '.[play]'")
pytest.importorskip("uvicorn", reason="needs the play extra: pip install '.[play]'")

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from tegulo_rl.web.server import Games, create_app, serving  # noqa: E402

DRIVER = "/usr/bin/chromedriver"
BROWSER = "/usr/bin/chromium"
if not (os.path.exists(DRIVER) and os.path.exists(BROWSER)):
    pytest.skip(f"needs Debian's chromium and chromium-driver ({BROWSER}, {DRIVER})", allow_module_level=True)

ARTIFACTS = Path(os.environ.get("TEGULO_ARTIFACTS", Path(__file__).resolve().parents[2] / "build" / "artifacts"))


def get(url):
    with urllib.request.urlopen(url) as response:
        return json.loads(response.read())


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = BROWSER
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,1000"):
        options.add_argument(argument)
    # The driver's path given: Selenium's manager downloads nothing.
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=DRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def screenshot(driver, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(ARTIFACTS / f"play-{name}.png"))


def hold(driver, kind, orientation, config):
    """Picks the piece from the tray and turns it with the buttons (and the F key) until it lies as wanted."""
    driver.find_element(By.CSS_SELECTOR, f'#tray button[data-kind="{kind}"]').click()
    selection = driver.find_element(By.ID, "selection")
    for turn in range(8):
        if selection.get_attribute("data-orientation") == str(orientation):
            return selection
        if turn == 3:
            driver.find_element(By.TAG_NAME, "body").send_keys("f")  # the other side up
        else:
            driver.find_element(By.ID, "rotate").click()
    raise AssertionError(f"{kind} never reached orientation {orientation}")


def test_a_whole_game_through_the_page_against_random(tmp_path, browser):
    games = Games(tmp_path, ["random"])
    with serving(create_app(games)) as url:
        config = get(f"{url}/api/config")
        browser.get(f"{url}/")
        wait = WebDriverWait(browser, 60)
        wait.until(lambda d: d.find_element(By.ID, "setup").is_displayed())
        browser.find_element(By.ID, "seed").send_keys("7")
        browser.find_element(By.ID, "start").click()
        wait.until(lambda d: "game=" in d.current_url)
        game_id = browser.current_url.split("game=")[1]

        def settled(d):
            status = d.find_element(By.ID, "status").text
            return status.startswith("Your turn") or status.startswith("Game over")

        wait.until(settled)
        screenshot(browser, "start")
        moves, refused = 0, False
        while True:
            state = get(f"{url}/api/games/{game_id}")
            if state["over"]:
                break
            assert state["agent"] == state["human"] == 0 and state["legal"]
            # The largest piece first, as a person would, where the page says it fits.
            action, orientation, anchor = max(
                state["placements"], key=lambda p: len(config["shapes"][p[1]]) * 100000 - p[0]
            )
            kind = config["kinds"][config["orientation_kinds"][orientation]]
            selection = hold(browser, kind, orientation, config)
            row, col = map(int, selection.get_attribute("data-handle").split(","))
            if not refused:  # once: a click where the piece does not fit is refused on the page
                fits = {(o, a) for _, o, a in state["placements"]}
                bad = next(
                    cell
                    for cell in range(400)
                    if (orientation, cell - row * 20 - col) not in fits and cell // 20 >= row and cell % 20 >= col
                )
                browser.find_element(By.CSS_SELECTOR, f'#overlay rect[data-cell="{bad}"]').click()
                assert "does not fit" in browser.find_element(By.ID, "move-error").text
                assert get(f"{url}/api/games/{game_id}")["ply"] == state["ply"]
                refused = True
            target = browser.find_element(By.CSS_SELECTOR, f'#overlay rect[data-cell="{anchor + row * 20 + col}"]')
            if moves == 8:  # the middle: a piece in hand over a place where it fits, dots where else it does
                ActionChains(browser).move_to_element(target).perform()
                wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#overlay rect.preview:not(.bad)"))
                assert browser.find_elements(By.CSS_SELECTOR, "#overlay circle.fit")
                screenshot(browser, "middle")
            browser.find_element(By.CSS_SELECTOR, f'#overlay rect[data-cell="{anchor + row * 20 + col}"]').click()
            wait.until(lambda d, ply=state["ply"]: get(f"{url}/api/games/{game_id}")["ply"] > ply)
            wait.until(settled)
            moves += 1
            after = get(f"{url}/api/games/{game_id}")
            assert after["last"] and any(m["agent"] == 0 and m["piece"] == kind for m in after["last"])
        wait.until(lambda d: d.find_element(By.ID, "end").is_displayed())
        screenshot(browser, "end")
        final = get(f"{url}/api/games/{game_id}")
        rows = browser.find_elements(By.CSS_SELECTOR, "#final tbody tr")
        assert [int(r.find_elements(By.TAG_NAME, "td")[3].text) for r in rows] == sorted(final["scores"], reverse=True)
        assert browser.find_element(By.ID, "download-record").get_attribute("href").endswith(f"{game_id}/record")
        assert moves >= 8
        # A reload finds the same game; the finished game is on disk.
        browser.refresh()
        wait.until(lambda d: d.find_element(By.ID, "end").is_displayed())
        assert (tmp_path / f"{game_id}.tegulo").read_bytes() == urllib.request.urlopen(
            f"{url}/api/games/{game_id}/record"
        ).read()
