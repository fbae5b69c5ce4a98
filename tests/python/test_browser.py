"""The play page in a real browser: headless Chromium from Debian, driven by Selenium through the page's own
controls (the tray, the rotate and flip buttons and keys, clicks on the board) for a whole game against
random players; and with the keyboard alone, across a server that stops, comes back, and comes back without
the game. Screenshots of the start, the middle and the end are kept in $TEGULO_ARTIFACTS (default
build/artifacts)."""

import contextlib
import json
import os
import socket
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
from selenium.webdriver.common.keys import Keys  # noqa: E402
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


def to_cell(actions, driver, cell, config):
    """`actions` with the pointer moved to the middle of a board cell (the overlay works out the cell from
    where the pointer is, as for a person)."""
    overlay = driver.find_element(By.ID, "overlay")
    scale = overlay.rect["width"] / (2 * config["margin"] + config["size"] * config["cell"])
    row, col = divmod(cell, config["size"])
    middle = config["margin"] + config["size"] * config["cell"] / 2
    dx = (config["margin"] + (col + 0.5) * config["cell"] - middle) * scale
    dy = (config["margin"] + (row + 0.5) * config["cell"] - middle) * scale
    return actions.move_to_element_with_offset(overlay, round(dx), round(dy))


def click_cell(driver, cell, config, press=None):
    """Clicks the board on a cell; with `press`, the button goes down on that cell and comes up on `cell`."""
    actions = ActionChains(driver)
    if press is None:
        to_cell(actions, driver, cell, config).click()
    else:
        to_cell(to_cell(actions, driver, press, config).click_and_hold(), driver, cell, config).release()
    actions.perform()


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
                click_cell(browser, bad, config)
                assert "does not fit" in browser.find_element(By.ID, "move-error").text
                assert get(f"{url}/api/games/{game_id}")["ply"] == state["ply"]
                refused = True
            target = anchor + row * 20 + col
            if moves == 8:  # the middle: a piece in hand over a place where it fits, dots where else it does
                to_cell(ActionChains(browser), browser, target, config).perform()
                wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#overlay rect.preview:not(.bad)"))
                assert browser.find_elements(By.CSS_SELECTOR, "#overlay circle.fit")
                screenshot(browser, "middle")
            # A press on another cell released on the target places there: one click, on the cell of the release.
            click_cell(browser, target, config, press=target + 1 if target % 20 < 19 else target - 1)
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


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def tab_to(driver, selector, presses=80):
    """Presses Tab until the focus is on the element `selector` finds; the element."""
    wanted = driver.find_element(By.CSS_SELECTOR, selector)
    for _ in range(presses):
        if driver.switch_to.active_element == wanted:
            return wanted
        ActionChains(driver).send_keys(Keys.TAB).perform()
    raise AssertionError(f"Tab never reached {selector}")


def keys(driver, *pressed):
    ActionChains(driver).send_keys(*pressed).perform()


def test_the_keyboard_alone_and_a_server_that_stops_restarts_and_loses_the_game(tmp_path, browser):
    port, wait = free_port(), WebDriverWait(browser, 60)
    with contextlib.ExitStack() as first:
        url = first.enter_context(serving(create_app(Games(tmp_path / "games", ["random"])), port=port))
        config = get(f"{url}/api/config")
        browser.get(f"{url}/")
        wait.until(lambda d: d.find_element(By.ID, "setup").is_displayed())
        tab_to(browser, "#seed")
        keys(browser, "11", Keys.ENTER)  # the form sent from the keyboard
        wait.until(lambda d: d.find_element(By.ID, "status").text.startswith("Your turn"))
        game_id = browser.current_url.split("game=")[1]
        state = get(f"{url}/api/games/{game_id}")
        action, orientation, anchor = state["placements"][len(state["placements"]) // 2]
        kind = config["kinds"][config["orientation_kinds"][orientation]]
        tab_to(browser, f'#tray button[data-kind="{kind}"]')
        keys(browser, Keys.ENTER)
        overlay = browser.find_element(By.ID, "overlay")
        assert browser.switch_to.active_element == overlay  # the piece in hand goes to the board
        selection = browser.find_element(By.ID, "selection")
        before = selection.get_attribute("data-orientation")
        for modifier in (Keys.CONTROL, Keys.ALT):  # with a modifier held the key is the browser's
            ActionChains(browser).key_down(modifier).send_keys("r").key_up(modifier).perform()
        assert selection.get_attribute("data-orientation") == before
        for turn in range(8):
            if selection.get_attribute("data-orientation") == str(orientation):
                break
            keys(browser, "f" if turn == 3 else "r")
        assert selection.get_attribute("data-orientation") == str(orientation)
        row, col = map(int, selection.get_attribute("data-handle").split(","))
        target = anchor + row * 20 + col
        cursor = int(overlay.get_attribute("data-cursor"))
        rows, cols = target // 20 - cursor // 20, target % 20 - cursor % 20
        keys(browser, *[Keys.ARROW_DOWN if rows > 0 else Keys.ARROW_UP] * abs(rows))
        keys(browser, *[Keys.ARROW_RIGHT if cols > 0 else Keys.ARROW_LEFT] * abs(cols))
        assert int(overlay.get_attribute("data-cursor")) == target
        announced = browser.find_element(By.ID, "announce").text
        assert announced.startswith(f"{kind}, way ") and announced.endswith(
            f"at row {target // 20 + 1}, column {target % 20 + 1}: fits."
        ), announced
        keys(browser, Keys.ENTER)
        wait.until(lambda d: get(f"{url}/api/games/{game_id}")["ply"] > state["ply"])
        after = get(f"{url}/api/games/{game_id}")
        assert any(m["agent"] == 0 and m["piece"] == kind for m in after["last"])
        wait.until(lambda d: d.find_element(By.ID, "status").text.startswith("Your turn"))
        # Escape puts a piece back; then one in hand when the server stops.
        tab_to(browser, "#tray button:not(.unplaceable)")
        keys(browser, Keys.ENTER)
        wait.until(lambda d: d.find_element(By.ID, "selection").get_attribute("data-kind"))
        keys(browser, Keys.ESCAPE)
        assert browser.find_element(By.ID, "selection").get_attribute("data-kind") is None
    # The server is gone: a move cannot reach it, the page says so and keeps trying.
    tab_to(browser, "#tray button:not(.unplaceable)")
    keys(browser, Keys.ENTER, Keys.ENTER)
    wait.until(lambda d: "unreachable" in d.find_element(By.ID, "status").text)
    with serving(create_app(Games(tmp_path / "games", ["random"])), port=port):
        # Back, with the game resumed from its file, as it was before the move that could not be sent.
        wait.until(lambda d: d.find_element(By.ID, "status").text.startswith("Your turn"))
        assert get(f"{url}/api/games/{game_id}")["ply"] == after["ply"]
    with serving(create_app(Games(tmp_path / "elsewhere", ["random"])), port=port):
        browser.refresh()  # a server without the game: the form to start another, and why
        wait.until(lambda d: d.find_element(By.ID, "setup").is_displayed())
        note = browser.find_element(By.ID, "setup-note")
        assert note.is_displayed() and game_id in note.text and "not on this server" in note.text
        assert "game=" not in browser.current_url
