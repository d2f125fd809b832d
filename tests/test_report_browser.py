"""The written report in a real browser: headless Chromium from Debian's `chromium`
package, driven through selenium and Debian's `chromium-driver`. Nothing here fetches a
browser or a driver: both are taken from /usr/bin, and the tests are skipped where they
are missing."""

from __future__ import annotations

import os
import shutil
import sys
from collections import Counter
from pathlib import Path

import pytest

from orvane import report

sys.path.insert(0, str(Path(__file__).resolve().parent))
from report_ledger import (HOSTILE, SEEDS, expected_cycles, host_events, hostile_ledger,  # noqa: E402
                           make_instance, prefix_weights)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


@pytest.fixture(scope="module")
def browser():
    if not os.path.exists(CHROMIUM):
        pytest.skip("needs a browser: install Debian's chromium package (apt-get install chromium chromium-driver)")
    if not os.path.exists(DRIVER):
        pytest.skip("needs the browser's driver: install Debian's chromium-driver package "
                    "(apt-get install chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="needs selenium: pip install '.[test]'")
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    with pytest.MonkeyPatch.context() as patch:
        # The driver and the browser are given: the selenium manager must not go looking.
        patch.setenv("SE_OFFLINE", "true")
        driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def open_page(driver, path: Path):
    driver.get_log("browser")  # what earlier pages logged
    driver.get(path.resolve().as_uri())
    assert driver.execute_script("return document.documentElement.getAttribute('data-ready')") == "true"
    errors = [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]
    assert errors == []


def page_for(root: Path, events, **options) -> Path:
    current = make_instance(root, events, **options)
    return report.write(current, root / "report.html")


def values(driver, selector, attribute="data-value"):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0])).map(e => e.getAttribute(arguments[1]))",
        selector, attribute)


def table(driver, column):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#findings-body td.' + arguments[0])).map(e => e.textContent)",
        column)


class TestPage:
    def test_every_chart_has_the_points_the_ledger_implies(self, browser, tmp_path):
        events = host_events(40, seed=12)
        open_page(browser, page_for(tmp_path, events))
        cycles = expected_cycles(events)

        totals = [int(v) for v in values(browser, "#chart-findings g.point", "data-total")]
        assert totals == [sum(bands.values()) for bands, _, _ in cycles]
        drawn = Counter()
        for band, value in zip(values(browser, "#chart-findings rect", "data-band"),
                               values(browser, "#chart-findings rect")):
            drawn[band] += int(value)
        assert drawn == sum((Counter(b) for b, _, _ in cycles), Counter())

        assert [float(v) for v in values(browser, "#chart-cost circle")] == pytest.approx([c for _, c, _ in cycles])
        assert [float(v) for v in values(browser, "#chart-duration circle")] == pytest.approx(
            [d for _, _, d in cycles])

        oracle = prefix_weights(tmp_path, events, SEEDS)
        names = values(browser, "#chart-weights g.series", "data-name")
        assert set(names) == set().union(*oracle)
        for name in names:
            where = f'#chart-weights g.series[data-name="{name}"] circle'
            drawn_weights = dict(zip((int(c) for c in values(browser, where, "data-cycle")),
                                     (float(v) for v in values(browser, where))))
            expected = {cycle: w[name] for cycle, w in enumerate(oracle, 1) if name in w}
            assert drawn_weights == pytest.approx(expected, abs=1e-4), name

        modes = browser.execute_script(
            "return Array.from(document.querySelectorAll('#chart-modes g.point')).map(g => [g.getAttribute('data-mode'),"
            " Array.from(g.querySelectorAll('rect')).map(r => [r.getAttribute('data-measure'), +r.getAttribute('data-value')])])")
        effectiveness = make_instance(tmp_path / "again", events).ledger.triage_effectiveness()
        assert {mode: dict(rects) for mode, rects in modes} == {
            mode: {"cycles": b["cycle_count"], "findings": b["findings_count"], "executed": b["actions_executed"],
                   "verified": b["actions_verified"]} for mode, b in effectiveness.items()}

    def test_sorting_and_filtering_change_the_rows(self, browser, tmp_path, monkeypatch):
        monkeypatch.setattr(report, "MAX_ROWS", 60)
        events = host_events(90, seed=6)
        open_page(browser, page_for(tmp_path, events))
        found = [e for e in events if e["type"] == "FINDING" and not e["payload"]["empty"]]
        newest = sorted(found, key=lambda e: e["timestamp"], reverse=True)[:60]
        status = browser.find_element("id", "table-status").text
        assert f"newest 60 of {len(found)} findings" in status
        assert len(table(browser, "description")) == 60

        def click(key):
            browser.find_element("css selector", f'button[data-sort="{key}"]').click()

        click("severity")
        shown = [float(s) for s in table(browser, "severity")]
        assert shown == sorted((e["payload"]["severity"] for e in newest), reverse=True)
        click("severity")
        assert [float(s) for s in table(browser, "severity")] == sorted(shown)
        click("category")
        categories = table(browser, "category")
        assert categories == sorted(categories) and Counter(categories) == Counter(
            e["payload"]["finding_type"] for e in newest)
        click("time")
        assert table(browser, "time") == [e["timestamp"].replace("T", " ")[:16] for e in newest]

        from selenium.webdriver.support.ui import Select
        category = newest[0]["payload"]["finding_type"]
        Select(browser.find_element("id", "filter-category")).select_by_value(category)
        assert len(table(browser, "category")) == sum(e["payload"]["finding_type"] == category for e in newest)
        assert set(table(browser, "category")) == {category}
        question = newest[0]["payload"]["question"]
        Select(browser.find_element("id", "filter-question")).select_by_value(question)
        assert len(table(browser, "question")) == sum(
            e["payload"]["finding_type"] == category and e["payload"]["question"] == question for e in newest)
        Select(browser.find_element("id", "filter-category")).select_by_value("")
        Select(browser.find_element("id", "filter-question")).select_by_value("")
        word = newest[0]["payload"]["evidence"].split("/")[1].split(".")[0]
        box = browser.find_element("id", "search")
        box.send_keys(word)
        matching = [e for e in newest if word in (e["payload"]["description"] + "\n" + e["payload"]["evidence"]).lower()
                    or word in e["payload"]["question"] or word in e["payload"]["finding_type"]]
        assert len(table(browser, "description")) == len(matching) > 0
        box.clear()
        box.send_keys("no such text anywhere")
        assert table(browser, "description") == []

    def test_hostile_text_stays_text(self, browser, tmp_path):
        current, _ = hostile_ledger(HOSTILE, tmp_path)
        open_page(browser, report.write(current, tmp_path / "hostile.html"))
        from selenium.common.exceptions import NoAlertPresentException

        with pytest.raises(NoAlertPresentException):
            browser.switch_to.alert.text
        assert browser.execute_script("return typeof window.__pwned") == "undefined"
        assert browser.execute_script("return document.querySelectorAll('img, iframe, object, embed').length") == 0
        # Only the page's own two scripts exist, and the text shows as written.
        assert browser.execute_script("return document.scripts.length") == 2
        assert HOSTILE in table(browser, "description")
        assert browser.execute_script("return document.getElementById('goal').textContent") == HOSTILE
        assert " ".join(HOSTILE.split()) in browser.execute_script(
            "return Array.from(document.querySelectorAll('#queue td')).map(e => e.textContent)")

    def test_a_new_instance_has_an_empty_page_without_errors(self, browser, tmp_path):
        open_page(browser, page_for(tmp_path, []))
        assert browser.find_element("id", "table-status").text == "0 of 0 findings shown."
        assert values(browser, "#chart-findings g.point", "data-total") == []
        assert "no cycle recorded yet" in browser.find_element("id", "chart-cost").text
