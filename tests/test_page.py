"""The `-f html` page in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium): it loads offline without console
errors, a click lights exactly what `--trace` reports, the search finds
tables and columns, and the statement behind an edge shows. The tests save
screenshots in build/screenshots and print the page's size and times."""
import json
import os
import shutil
import time
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from test_cli_engine import ROOT, run

SHOTS = ROOT / "build" / "screenshots"
CORPUS = ROOT.parent / "shared" / "corpus"


@pytest.fixture(scope="module")
def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    # CI installs both (.ci/run); without them this fails rather than skips
    assert chromium and driver, "the browser tests need Debian's chromium and chromium-driver"
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,860", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # the sanitizer run preloads its runtime into this process: not into the browser's
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    b = webdriver.Chrome(service=Service(driver, env=env), options=options)
    yield b
    b.quit()


def page_of(tmp_path, *args, name="lineage.html", cwd=ROOT):
    done = run(*args, "-f", "html", cwd=cwd)
    assert done.returncode == 0, done.stderr
    path = tmp_path / name
    path.write_text(done.stdout, encoding="utf-8")
    return path


def open_page(browser, path):
    browser.get_log("browser")  # what earlier pages logged
    browser.get(path.as_uri())
    browser.execute_script("return document.readyState")
    errors = [m for m in browser.get_log("browser") if m["level"] in ("SEVERE", "WARNING")]
    assert errors == [], errors
    return browser.execute_script("return window.keldraLineage.ready")


def lit(browser):
    return set(browser.execute_script("return window.keldraLineage.lit()"))


def column_element(browser, table, column):
    return browser.execute_script(
        "const t = window.keldraLineage.tables().indexOf(arguments[0]);"
        "return Array.from(document.querySelectorAll('.tbl[data-t=\"' + t + '\"] .col'))"
        ".find(el => el.textContent === arguments[1]);", table, column)


def traced(table_column, cwd=ROOT, *inputs):
    """The columns --trace reports up and down, as TABLE.COLUMN."""
    out = set()
    for way in ("--upstream", "--downstream"):
        done = run(*inputs, "--trace", table_column, way, "-f", "json", cwd=cwd)
        assert done.returncode == 0, done.stderr
        out |= {f'{r["table"]}.{r["column"]}' for r in json.loads(done.stdout)}
    return out


def assert_apart(boxes):
    boxes = list(boxes)
    for i, p in enumerate(boxes):
        for q in boxes[i + 1:]:
            apart = (p["x"] + p["w"] <= q["x"] or q["x"] + q["w"] <= p["x"]
                     or p["y"] + p["h"] <= q["y"] or q["y"] + q["h"] <= p["y"])
            assert apart, (p, q)


def test_the_examples_page_opens_offline_and_is_laid_out_from_sources_to_targets(browser, tmp_path):
    path = page_of(tmp_path, "examples/")
    text = path.read_text()
    assert "<script src" not in text and "<link" not in text
    open_page(browser, path)
    # nothing fetched: the page is all there is
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    tables = browser.execute_script("return window.keldraLineage.tables()")
    assert {"sales.orders", "staging.daily_orders", "mart.customer_totals", "examples/events.sql:2"} <= set(tables)
    pos = dict(zip(tables, browser.execute_script("return window.keldraLineage.positions()")))
    # every table-to-table edge runs left to right (the examples have no cycle)
    flows = {(a, b) for a, b in [("sales.orders", "staging.daily_orders"),
                                 ("staging.daily_orders", "mart.customer_totals"),
                                 ("mart.customer_totals", "mart.top_customers"),
                                 ("crm.customers", "mart.top_customers"),
                                 ("web.page_views", "examples/events.sql:2")]}
    for a, b in flows:
        assert pos[a]["x"] + pos[a]["w"] < pos[b]["x"], (a, b)
    assert_apart(pos.values())
    # DIRECT solid, INDIRECT dashed, one legend entry per subtype
    dashes = browser.execute_script(
        "return Array.from(document.querySelectorAll('path.e')).map(p => [p.classList.contains('i'),"
        " getComputedStyle(p).strokeDasharray])")
    assert {d for indirect, d in dashes if not indirect} == {"none"}
    assert all(d != "none" for indirect, d in dashes if indirect) and any(i for i, _ in dashes)
    legend = browser.find_element(By.ID, "legend").text
    for word in ("DIRECT", "INDIRECT", "IDENTITY", "TRANSFORMATION", "AGGREGATION", "FILTER", "JOIN"):
        assert word in legend
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / "examples.png"))


@pytest.mark.parametrize("table, column", [
    ("sales.orders", "amount"),            # flows through three statements
    ("mart.top_customers", "revenue"),     # upstream through filters and joins
    ("crm.customers", "segment"),          # feeds a query and a table
])
def test_a_click_lights_exactly_what_trace_reports(browser, tmp_path, table, column):
    open_page(browser, page_of(tmp_path, "examples/"))
    element = column_element(browser, table, column)
    ActionChains(browser).move_to_element(element).click().perform()
    expected = traced(f"{table}.{column}", ROOT, "examples/") | {f"{table}.{column}"}
    assert lit(browser) == expected
    # the rest is veiled; copies of the lit part lie above, the other columns of
    # the lit tables pale; the clicked column is the selection; the panel names it
    assert browser.execute_script("return document.querySelectorAll('#lit .veil').length") == 1
    fill = "return getComputedStyle(document.querySelector(arguments[0])).fill"
    assert browser.execute_script(fill, "#lit .col.pale text") != browser.execute_script(fill, "#lit .col.lit text")
    assert browser.execute_script("return document.querySelectorAll('#lit path.e').length") > 0
    assert browser.execute_script("return document.querySelectorAll('.col.sel').length") == 1
    assert browser.find_element(By.ID, "details").text.startswith(f"{table}.{column}")
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / f"click-{table}.{column}.png"))
    # Escape clears the selection
    ActionChains(browser).send_keys(Keys.ESCAPE).perform()
    assert lit(browser) == set() and not browser.find_element(By.ID, "panel").is_displayed()


def test_a_dbt_project_and_a_cycle_are_laid_out(browser, tmp_path):
    open_page(browser, page_of(tmp_path, "--dbt", "examples/dbt", "-q"))
    tables = browser.execute_script("return window.keldraLineage.tables()")
    pos = dict(zip(tables, browser.execute_script("return window.keldraLineage.positions()")))
    for a, b in [("keldra.main.raw_orders", "keldra.main.stg_orders"),
                 ("keldra.main.stg_orders", "keldra.main.customers")]:
        assert pos[a]["x"] + pos[a]["w"] < pos[b]["x"], (a, b)
    assert_apart(pos.values())
    element = column_element(browser, "keldra.main.stg_orders", "amount")
    element.click()
    expected = traced("keldra.main.stg_orders.amount", ROOT, "--dbt", "examples/dbt", "-q")
    assert lit(browser) == expected | {"keldra.main.stg_orders.amount"}
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / "dbt.png"))
    # tables that feed each other: the cycle is broken for the layout, not in the lineage
    (tmp_path / "loop.sql").write_text("INSERT INTO a (x) SELECT y FROM b;\nINSERT INTO b (y) SELECT x FROM a;\n"
                                       "INSERT INTO c (z) SELECT x FROM a;\n")
    open_page(browser, page_of(tmp_path, "loop.sql", cwd=tmp_path))
    pos = browser.execute_script("return window.keldraLineage.positions()")
    assert_apart(pos)
    browser.execute_script("window.keldraLineage.select('c', 'z')")
    assert lit(browser) == {"c.z", "a.x", "b.y"}


def test_the_search_finds_tables_and_columns(browser, tmp_path):
    open_page(browser, page_of(tmp_path, "examples/"))
    box = browser.find_element(By.ID, "search")
    box.send_keys("amount_eur")
    found = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#results li")]
    assert found and found[0].startswith("staging.daily_orders.amount_eur")
    box.send_keys(Keys.ENTER)
    assert browser.execute_script(
        "return Array.from(document.querySelectorAll('.col.sel')).map(el => el.textContent)") == ["amount_eur"]
    assert "sales.orders.amount" in lit(browser)
    # a table by the last part of its name; choosing it lights its box
    box.clear()
    box.send_keys("customer_totals")
    first = browser.find_element(By.CSS_SELECTOR, "#results li")
    assert first.text.startswith("mart.customer_totals") and "table" in first.text
    first.click()
    assert browser.execute_script("return document.querySelector('.tbl.found .tname').textContent") \
        .startswith("mart.customer_totals")
    box.clear()
    box.send_keys("no_such_thing")
    assert browser.find_element(By.ID, "results").text == "no table or column matches"


def test_the_statement_behind_an_edge_shows_on_hover_and_click(browser, tmp_path):
    open_page(browser, page_of(tmp_path, "examples/etl.sql"))
    edge = browser.execute_script(
        "const t = window.keldraLineage.tables(); return Array.from(document.querySelectorAll('path.e'))"
        ".find(p => p.getAttribute('stroke') && p.getBoundingClientRect().width > 60)")
    ActionChains(browser).move_to_element(edge).perform()
    tip = browser.find_element(By.ID, "tip")
    assert tip.is_displayed() and "examples/etl.sql:" in tip.text
    assert "SELECT" in tip.text or "INSERT" in tip.text
    ActionChains(browser).move_to_element(edge).click().perform()
    details = browser.find_element(By.ID, "details").text
    assert "Made by" in details.title() or "MADE BY" in details
    assert "examples/etl.sql:" in details and "FROM" in details


def test_collapse_and_filters(browser, tmp_path):
    open_page(browser, page_of(tmp_path, "examples/"))
    count = "return document.querySelectorAll(arguments[0]).length"
    columns, paths = browser.execute_script(count, "#tables .col"), browser.execute_script(count, "#edges .e")
    toggle = browser.execute_script(
        "const t = window.keldraLineage.tables().indexOf('sales.orders');"
        "return document.querySelector('[data-tog=\"' + t + '\"]')")
    toggle.click()
    # the collapsed table is one box; its edges still leave it, fewer of them
    assert browser.execute_script(count, "#tables .col") == columns - 8
    assert 0 < browser.execute_script(count, "#edges .e") < paths
    # selecting a column of a collapsed table opens it again
    browser.execute_script("window.keldraLineage.select('sales.orders', 'amount')")
    assert browser.execute_script(count, "#tables .col") == columns
    browser.find_element(By.ID, "collapse-all").click()
    assert browser.execute_script(count, "#tables .col") == 0
    browser.find_element(By.ID, "expand-all").click()
    assert browser.execute_script(count, "#tables .col") == columns
    # a subtype switched off in the legend: none of its edges is drawn
    chip = browser.find_element(By.XPATH, "//span[contains(@class,'subtype')][normalize-space()='FILTER']")
    chip.click()
    stroke = browser.execute_script("return arguments[0].querySelector('line').getAttribute('stroke')", chip)
    assert browser.execute_script(f"return document.querySelectorAll('#edges .e[stroke=\"{stroke}\"]').length") == 0
    chip.click()
    assert browser.execute_script(f"return document.querySelectorAll('#edges .e[stroke=\"{stroke}\"]').length") > 0
    # a schema switched off: its tables go
    browser.find_element(By.CSS_SELECTOR, "#schemas summary").click()
    browser.find_element(By.XPATH, "//label[normalize-space()='sales']/input").click()
    assert "sales.orders" not in browser.execute_script(
        "return Array.from(document.querySelectorAll('#tables .tname')).map(t => t.firstChild.textContent)")


def test_trace_draws_only_the_traced_part(browser, tmp_path):
    open_page(browser, page_of(tmp_path, "examples/", "--trace", "sales.orders.amount", "--downstream"))
    names = set(browser.execute_script(
        "return Array.from(document.querySelectorAll('#tables .col')).map(el => {"
        " const t = window.keldraLineage.tables()[+el.closest('.tbl').dataset.t];"
        " return t + '.' + el.textContent; })"))
    expected = {"sales.orders.amount", "staging.daily_orders.amount_eur", "mart.customer_totals.revenue",
                "mart.top_customers.revenue", "mart.top_customers.(every column)",
                "reporting.revenue_by_segment.revenue"}
    assert names == expected


def test_names_and_sql_are_shown_as_text(browser, tmp_path):
    sql = ("CREATE TABLE s.\"<b>bold</b>\" AS SELECT a AS \"</script><i>x\" FROM t "
           "WHERE note = '</script><script>alert(1)</script>';\n")
    (tmp_path / "odd.sql").write_text(sql)
    open_page(browser, page_of(tmp_path, "odd.sql", cwd=tmp_path))
    assert browser.execute_script("return document.querySelectorAll('#graph b, #graph i').length") == 0
    assert browser.execute_script("return document.scripts.length") == 2
    names = browser.execute_script("return window.keldraLineage.tables()")
    assert "s.<b>bold</b>" in names
    browser.execute_script("window.keldraLineage.select('t', 'a')")
    assert "alert(1)" in browser.find_element(By.ID, "details").text


def _wide_run(folder: Path, tables: int = 140, width: int = 30):
    """A run of about 5,000 columns: source tables, and statements that each
    build a table from two of them and the table before."""
    cols = [f"c{i:02d}" for i in range(width)]
    statements = []
    for k in range(tables):
        a, b = f"src.s{k % 40}", f"src.s{(k * 7 + 3) % 40}"
        items = [f"x.{c} + y.{c} AS {c}" for c in cols]
        if k:
            items = [f"x.{c} + y.{c} + p.{c} AS {c}" for c in cols]
        joins = f" JOIN mart.t{k - 1} p ON p.c00 = x.c00" if k else ""
        statements.append(f"CREATE TABLE mart.t{k} AS SELECT {', '.join(items)} "
                          f"FROM {a} x JOIN {b} y ON x.c00 = y.c00{joins} WHERE x.c01 > 0;")
    (folder / "wide.sql").write_text("\n".join(statements) + "\n")
    schema = {f"src.s{i}": cols for i in range(40)}
    (folder / "schema.json").write_text(json.dumps(schema))


def _measure(browser, path, table, column):
    """Size; first paint, graph drawn and its first frame (ms from navigation); the time
    from a click on a column to the next frame with it lit."""
    open_page(browser, path)
    shown = None
    for _ in range(100):
        shown = browser.execute_script("return window.keldraLineage.shown")
        if shown is not None:
            break
        time.sleep(0.05)
    paint = browser.execute_script(
        "const p = performance.getEntriesByName('first-contentful-paint')[0]; return p ? p.startTime : null")
    ready = browser.execute_script("return window.keldraLineage.ready")
    element = column_element(browser, table, column)
    assert element is not None, (table, column)
    spent = browser.execute_async_script(
        "const done = arguments[arguments.length - 1], el = arguments[0], t0 = performance.now();"
        "el.dispatchEvent(new MouseEvent('click', {bubbles: true}));"
        "requestAnimationFrame(() => setTimeout(() => done(performance.now() - t0), 0));", element)
    return {"bytes": path.stat().st_size, "first_paint_ms": paint, "drawn_ms": ready, "shown_ms": shown,
            "highlight_ms": spent, "lit": len(lit(browser)),
            "columns": browser.execute_script("return document.querySelectorAll('#tables .col').length")}


def test_large_graphs_open_and_respond(browser, tmp_path):
    """Measured, not timed: the numbers go to the report (pytest -s shows them)."""
    _wide_run(tmp_path)
    cases = {
        "examples": (page_of(tmp_path, "examples/", name="examples.html"), "sales.orders", "amount"),
        "5000 columns": (page_of(tmp_path, "wide.sql", "--schema", "schema.json", name="wide.html",
                                 cwd=tmp_path), "mart.t50", "c03"),
    }
    if (CORPUS / "tpcds" / "schema.json").is_file():
        cases["TPC-DS"] = (page_of(tmp_path, CORPUS / "tpcds", "--schema", CORPUS / "tpcds" / "schema.json",
                                   "-q", name="tpcds.html"), "store_sales", "ss_net_profit")
    measured = {name: _measure(browser, *case) for name, case in cases.items()}
    print()
    for name, m in measured.items():
        print(f"page {name}: {m}")
    wide = measured["5000 columns"]
    assert wide["columns"] >= 5000
    # mart.t50.c03 feeds every later table's c03 and is fed by the earlier ones
    assert wide["lit"] > 100
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / "wide.png"))
