#!/usr/bin/python3
"""tarvik explore in a real browser: headless Chromium driven by Selenium.

Against the tool connected to `tarvik-sim --simulate`: the page loads, the tree
lists the demo plant and filters it, a watched value changes on screen within
two heartbeats, the live trend and the history chart draw a line, a write is
refused without --allow-write and reaches the server with it, and the page
comes back by itself after the server restarts.

  browser_test.py --sim PATH --tarvik PATH                 the test (exit 77: no browser)
  browser_test.py ... --screenshots DIR                    also the watch and history views as PNG
  browser_test.py ... --measure N                          search and live figures with N points

Runs with Debian's /usr/bin/python3 and its python3-selenium, chromium and
chromium-driver. Every wait has a deadline.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
HEARTBEAT_MS = 500  # the library's default heartbeat interval
SIM_STEP_MS = 200   # --simulate period used here

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


def wait_for(what, cond, seconds):
    """Polls cond every 20 ms until it returns something true; fails at the deadline."""
    deadline = time.monotonic() + seconds
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out after %.1f s waiting for %s' % (seconds, what))
        time.sleep(0.02)


class Processes:
    """The processes of a run; each prints one line that says where it listens."""

    def __init__(self, work):
        self.work = work
        self.procs = []

    def start(self, name, argv, ready_prefix, seconds=20):
        out = open(os.path.join(self.work, name + '.out'), 'w+')
        err = open(os.path.join(self.work, name + '.err'), 'w+')
        proc = subprocess.Popen(argv, stdout=out, stderr=err)
        self.procs.append(proc)

        def line():
            if proc.poll() is not None:
                err.seek(0)
                raise AssertionError('%s ended with %s: %s' % (name, proc.returncode, err.read()))
            out.seek(0)
            for text in out.read().splitlines():
                if text.startswith(ready_prefix):
                    return text
            return None
        return proc, wait_for(name + ' to start', line, seconds)

    def stop(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def stop_all(self):
        for proc in reversed(self.procs):
            self.stop(proc)


def start_sim(procs, sim, port=0, db=None, name='sim'):
    argv = [sim, '--port', str(port), '--simulate', str(SIM_STEP_MS)]
    if db:
        argv += ['--db', db]
    proc, line = procs.start(name, argv, 'listening on port ', seconds=300 if db else 20)
    return proc, int(line.split()[-1])


def start_explorer(procs, tarvik, port, extra=(), name='explore'):
    argv = [tarvik, '-p', str(port), '--timeout', '120000', 'explore', '--http-port', '0'] + list(extra)
    return procs.start(name, argv, 'http://', seconds=180)


def browser(work, height=860):
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                '--disable-background-networking', '--disable-component-update', '--disable-sync',
                '--disable-dev-shm-usage', '--hide-scrollbars', '--window-size=1360,%d' % height,
                '--user-data-dir=' + os.path.join(work, 'chromium')):
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.set_window_size(1360, height)
    return driver


# Pixels of a chart's canvases in a series' colour: a drawn line, not a blank chart.
LINE_PIXELS = '''
const [box, r, g, b] = arguments;
let n = 0;
for (const c of document.querySelectorAll('#' + box + ' canvas')) {
  if (!c.width || !c.height) continue;
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  for (let i = 0; i < d.length; i += 4) {
    if (d[i + 3] > 128 && Math.abs(d[i] - r) < 40 && Math.abs(d[i + 1] - g) < 40 &&
        Math.abs(d[i + 2] - b) < 40) n++;
  }
}
return n;
'''
FIRST_SERIES = (0x1f, 0x6f, 0xeb)


def text(driver, css):
    found = driver.find_elements(By.CSS_SELECTOR, css)
    return found[0].text if found else None


def banner(driver):
    return driver.find_element(By.ID, 'state').get_attribute('class'), text(driver, '#state-text')


def watch_value(driver, item):
    return text(driver, '#watch-table tr[data-item="%s"] td.value' % item)


def click_row(driver, item, star=False):
    css = '.row[data-item="%s"]' % item + (' .star' if star else '')
    wait_for('row ' + item, lambda: driver.find_elements(By.CSS_SELECTOR, css), 10)
    driver.find_element(By.CSS_SELECTOR, css).click()


def search(driver, what):
    box = driver.find_element(By.ID, 'search')
    box.clear()
    driver.execute_script("arguments[0].dispatchEvent(new Event('input'))", box)
    if what:
        box.send_keys(what)


def run_test(args, work):
    procs = Processes(work)
    driver = None
    try:
        sim, port = start_sim(procs, args.sim)
        explorer, url = start_explorer(procs, args.tarvik, port)
        driver = browser(work)
        driver.get(url)

        # The page loads, says it is connected and lists the demo plant.
        wait_for('the ready state on the page', lambda: 'CONN_READY' in banner(driver)[1], 20)
        assert 'state-ready' in banner(driver)[0], banner(driver)
        wait_for('the directory', lambda: text(driver, '#search-count') == '36 points in 5 types', 20)
        assert text(driver, '#write-mode') == 'Read-only'
        search(driver, 'tank10')
        wait_for('the search', lambda: text(driver, '#search-count') == '8 of 36 points match', 10)
        names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, '.row.point .name')]
        assert names == ['TANK10%d' % i for i in range(1, 9)], names

        # Watch TANK101.PV: its value changes on screen within two heartbeats.
        click_row(driver, 'TANK101')
        click_row(driver, 'TANK101.PV', star=True)
        click_row(driver, 'TANK101.SP', star=True)
        driver.find_element(By.ID, 'tab-button-watch').click()
        first = wait_for('the first value', lambda: (watch_value(driver, 'TANK101.PV') or '—') != '—'
                         and watch_value(driver, 'TANK101.PV'), 10)
        shown = time.monotonic()
        # Two heartbeats and one step of the random walk, and room for a busy machine.
        within = 2 * HEARTBEAT_MS / 1000 + SIM_STEP_MS / 1000 + 2.0
        wait_for('a live change of TANK101.PV', lambda: watch_value(driver, 'TANK101.PV') != first, within)
        print('first change on screen %.0f ms after the first value' % ((time.monotonic() - shown) * 1000))
        wait_for('the live trend line', lambda: driver.execute_script(LINE_PIXELS, 'trend', *FIRST_SERIES) > 50, 10)

        # History: the chart draws a line.
        driver.find_element(By.CSS_SELECTOR, '#watch-table tr[data-item="TANK101.PV"] td.actions button').click()  # History
        wait_for('the history chart', lambda: 'samples of' in (text(driver, '#history-status') or ''), 20)
        wait_for('the history line', lambda: driver.execute_script(LINE_PIXELS, 'history-chart', *FIRST_SERIES) > 50, 10)
        csv = driver.execute_script('return explorer.historyCsv()')
        assert csv[0] == 'time,TANK101.PV' and len(csv) > 10, csv[:3]
        driver.find_element(By.ID, 'raw-load').click()
        wait_for('raw records', lambda: 'records of TANK101.PV' in (text(driver, '#raw-status') or ''), 20)
        assert driver.find_elements(By.CSS_SELECTOR, '#raw-table tbody tr'), 'no raw records shown'

        # Writing is off: the page says so and the tool refuses a write.
        search(driver, 'TANK101')
        click_row(driver, 'TANK101')
        wait_for('the point view', lambda: text(driver, '#point-name') == 'TANK101', 10)
        assert 'Writing is off' in text(driver, '#write-note')
        assert not driver.find_element(By.CSS_SELECTOR, '#point-fields tr[data-item="TANK101.SP"] input').is_enabled()
        refused = driver.execute_async_script('''
            const done = arguments[arguments.length - 1];
            fetch('api/write', {method: 'POST', headers: {'Content-Type': 'application/json'},
                                body: JSON.stringify({item: 'TANK101.SP', value: '70'})})
              .then((r) => r.json().then((b) => done([r.status, b.error])));''')
        assert refused[0] == 403 and '--allow-write' in refused[1], refused

        # With --allow-write: checked, confirmed with the old and the new value, written.
        procs.stop(explorer)
        explorer, url = start_explorer(procs, args.tarvik, port, ['--allow-write'], name='explore-write')
        driver.get(url)
        wait_for('the directory again', lambda: text(driver, '#search-count') == '36 points in 5 types', 20)
        assert text(driver, '#write-mode') == 'Writing enabled'
        search(driver, 'TANK101')
        click_row(driver, 'TANK101')
        wait_for('the point view', lambda: text(driver, '#point-name') == 'TANK101', 10)
        box = driver.find_element(By.CSS_SELECTOR, '#point-fields tr[data-item="TANK101.SP"] input')
        box.send_keys('abc')
        driver.find_element(By.CSS_SELECTOR, '#point-fields tr[data-item="TANK101.SP"] .write-cell button').click()
        wait_for('the refusal of a text', lambda: "'abc' is not a number" in (text(driver, '#toast') or ''), 10)
        box.clear()
        box.send_keys('62.5')
        driver.find_element(By.CSS_SELECTOR, '#point-fields tr[data-item="TANK101.SP"] .write-cell button').click()
        wait_for('the confirmation', lambda: driver.find_element(By.ID, 'write-dialog').is_displayed(), 10)
        assert text(driver, '#write-old') == '50' and text(driver, '#write-new') == '62.5', \
            (text(driver, '#write-old'), text(driver, '#write-new'))
        driver.find_element(By.ID, 'write-confirm').click()
        wait_for('the write', lambda: 'Wrote TANK101.SP = 62.5' in (text(driver, '#toast') or ''), 10)
        read = subprocess.run([args.tarvik, '-p', str(port), '--json', 'read', 'TANK101.SP'],
                              capture_output=True, text=True, timeout=30)
        assert json.loads(read.stdout)[0]['value'] == 62.5, read.stdout + read.stderr

        # The server restarts: the page says so, and comes back by itself.
        click_row(driver, 'TANK101.PV', star=True)
        driver.find_element(By.ID, 'tab-button-watch').click()
        first = wait_for('a watched value', lambda: (watch_value(driver, 'TANK101.PV') or '—') != '—'
                         and watch_value(driver, 'TANK101.PV'), 10)
        procs.stop(sim)
        wait_for('the lost connection on the page', lambda: 'state-lost' in banner(driver)[0], 20)
        print('while the server is away: %s' % text(driver, '#state'))
        sim, _ = start_sim(procs, args.sim, port=port, name='sim-again')
        wait_for('the ready state after the restart', lambda: 'CONN_READY' in banner(driver)[1], 30)
        before = watch_value(driver, 'TANK101.PV')
        wait_for('live values after the restart', lambda: watch_value(driver, 'TANK101.PV') != before, 15)
        stats = driver.execute_script('return {points: explorer.stats.points, updates: explorer.stats.updates}')
        print('browser test passed: %s' % stats)
    finally:
        if driver:
            driver.quit()
        procs.stop_all()


def seed_history(args, port, work):
    """An hour of plausible history for the screenshots, written with the CLI."""
    import math
    now = time.time()
    for item, base, swing in (('TANK101.PV', 50.0, 12.0), ('TANK102.PV', 38.0, 8.0), ('FIC101.PV', 120.0, 15.0)):
        path = os.path.join(work, item + '.csv')
        with open(path, 'w') as f:
            for k in range(0, 3600, 10):
                t = now - 3600 + k
                v = base + swing * math.sin(k / 600.0 + base) + 2.0 * math.sin(k / 47.0)
                f.write('%s,0,%.3f\n' % (time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(t)), v))
        subprocess.run([args.tarvik, '-p', str(port), 'history-write', item, '--file', path],
                       check=True, capture_output=True, timeout=60)


def run_screenshots(args, work):
    procs = Processes(work)
    driver = None
    try:
        sim, port = start_sim(procs, args.sim)
        seed_history(args, port, work)
        explorer, url = start_explorer(procs, args.tarvik, port)
        driver = browser(work, height=980)
        driver.get(url)
        wait_for('the directory', lambda: text(driver, '#search-count') == '36 points in 5 types', 20)
        for point in ('TANK101', 'TANK102', 'FIC101'):
            search(driver, point)
            click_row(driver, point)
            click_row(driver, point + '.PV', star=True)
        search(driver, '')
        click_row(driver, 'type:1')
        click_row(driver, 'TANK102')  # closed again: TANK101 stays open with its fields
        driver.find_element(By.ID, 'tab-button-watch').click()
        driver.execute_script("document.getElementById('trend-span').value = '60000';"
                              "document.getElementById('trend-span').dispatchEvent(new Event('change'));")
        # A minute of live trend.
        deadline = time.monotonic() + 45
        wait_for('45 s of trend', lambda: time.monotonic() > deadline, 60)
        os.makedirs(args.screenshots, exist_ok=True)
        driver.save_screenshot(os.path.join(args.screenshots, 'explore-watch.png'))
        driver.find_element(By.ID, 'tab-button-history').click()
        driver.find_element(By.CSS_SELECTOR, '[data-range="3600000"]').click()
        wait_for('the history chart', lambda: 'samples of' in (text(driver, '#history-status') or ''), 20)
        driver.find_element(By.ID, 'raw-item').send_keys('TANK101.PV')
        driver.find_element(By.ID, 'raw-load').click()
        wait_for('raw records', lambda: 'records of' in (text(driver, '#raw-status') or ''), 20)
        driver.save_screenshot(os.path.join(args.screenshots, 'explore-history.png'))
        print('screenshots in %s' % args.screenshots)
    finally:
        if driver:
            driver.quit()
        procs.stop_all()


def big_database(path, points, live):
    """points points in two types; the first `live` move with the random walk."""
    fields = lambda simulate: [
        {'name': 'PV', 'no': 0, 'type': 'double', 'simulate': simulate, 'min': 0, 'max': 100, 'initial': 50},
        {'name': 'SP', 'no': 1, 'type': 'double', 'initial': 50},
        {'name': 'STATE', 'no': 4, 'type': 'text', 'initial': 'NORMAL'}]
    db = {'types': [{'id': 1, 'name': 'live', 'fields': fields(True)},
                    {'id': 2, 'name': 'still', 'fields': fields(False)}],
          'points': []}
    for i in range(points):
        db['points'].append({'name': ('LT%06d' if i < live else 'PT%06d') % i,
                             'type': 1 if i < live else 2, 'aux': i % 7})
    with open(path, 'w') as f:
        json.dump(db, f, separators=(',', ':'))


def run_measure(args, work):
    """The search over N points and the number of watched items updated live at once."""
    procs = Processes(work)
    driver = None
    live = args.watch
    try:
        db = os.path.join(work, 'big.json')
        big_database(db, args.measure, live)
        sim, port = start_sim(procs, args.sim, db=db)
        explorer, url = start_explorer(procs, args.tarvik, port)
        driver = browser(work)
        driver.get(url)
        total = '{:,} points in 2 types'.format(args.measure)
        wait_for('the directory of %d points' % args.measure, lambda: text(driver, '#search-count') == total, 120)
        stats = driver.execute_script('return {points: explorer.stats.points, ms: explorer.stats.directoryMs}')
        print('directory: %d points loaded and indexed in %d ms' % (stats['points'], stats['ms']))
        # Typing a search, key by key, and a bare scan of the same names as the baseline.
        driver.execute_script('''
            explorer.stats.maxFilterMs = 0; explorer.stats.filters = 0; window.longestTask = 0;
            new PerformanceObserver((list) => {
              for (const e of list.getEntries()) window.longestTask = Math.max(window.longestTask, e.duration);
            }).observe({entryTypes: ['longtask']});''')
        box = driver.find_element(By.ID, 'search')
        for key in 'pt01234':
            box.send_keys(key)
        expected = sum(1 for i in range(live, args.measure) if 'pt01234' in 'pt%06d' % i)
        final = '{:,} of {:,} points match'.format(expected, args.measure)
        wait_for('the last filter', lambda: text(driver, '#search-count') == final, 20)
        figures = driver.execute_script('''
            const names = explorer.dir.lower;
            const t0 = performance.now();
            let n = 0;
            for (let i = 0; i < names.length; i++) if (names[i].indexOf('pt0') !== -1) n++;
            const scan = performance.now() - t0;
            return {filters: explorer.stats.filters, maxFilterMs: explorer.stats.maxFilterMs,
                    matched: explorer.stats.matched, scanMs: scan, scanned: names.length,
                    longest: window.longestTask};''')
        print('search: %d points, %d filters while typing "pt01234" (%d match at the end), the slowest '
              '%.1f ms (filter and tree), the longest task %.0f ms (0: none over 50 ms); baseline: a bare '
              'scan of the names %.1f ms'
              % (figures['scanned'], figures['filters'], figures['matched'], figures['maxFilterMs'],
                 figures['longest'], figures['scanMs']))
        # Watch `live` moving items at once, through the page's own path.
        t0 = time.monotonic()
        driver.execute_script('''
            explorer.stats.itemsUpdated.clear();
            const pairs = [];
            for (let i = 0; i < arguments[0]; i++) pairs.push(['LT' + String(i).padStart(6, '0') + '.PV', 'double']);
            explorer.watchItems(pairs);
            document.getElementById('tab-button-watch').click();''', live)
        wait_for('all %d watched items updated' % live,
                 lambda: driver.execute_script('return explorer.stats.itemsUpdated.size') >= live, 120)
        took = time.monotonic() - t0
        driver.execute_script('explorer.stats.itemsUpdated.clear(); explorer.stats.updates = 0;')
        t1 = time.monotonic()
        wait_for('one more round of updates',
                 lambda: driver.execute_script('return explorer.stats.itemsUpdated.size') >= live, 60)
        window = time.monotonic() - t1
        updates = driver.execute_script('return explorer.stats.updates')
        flush = driver.execute_script('return [explorer.stats.flushes, explorer.stats.maxFlushMs]')
        print('live: %d watched items updated in the page (the first round %.1f s after watching; '
              'every one of them again within %.2f s, %d changes received meanwhile, %d frames drawn '
              '(the rows in view), the slowest %.0f ms; the server steps every %d ms, the heartbeat '
              'is %d ms)' % (live, took, window, updates, flush[0], flush[1], SIM_STEP_MS, HEARTBEAT_MS))
    finally:
        if driver:
            driver.quit()
        procs.stop_all()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--sim', required=True)
    parser.add_argument('--tarvik', required=True)
    parser.add_argument('--screenshots', help='write the watch and history views here')
    parser.add_argument('--measure', type=int, help='measure with this many points')
    parser.add_argument('--watch', type=int, default=1000, help='with --measure: items to watch')
    args = parser.parse_args()
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(p)]
    if webdriver is None:
        missing.append('python3-selenium')
    if missing:
        print('skipped: missing %s (scripts/setup.sh browser)' % ', '.join(missing))
        return 77
    work = tempfile.mkdtemp(prefix='tarvik-explore-')
    try:
        if args.measure:
            run_measure(args, work)
        elif args.screenshots:
            run_screenshots(args, work)
        else:
            run_test(args, work)
    except (AssertionError, TimeoutException) as e:
        print('FAIL: %s' % e)
        for name in sorted(os.listdir(work)):
            if name.endswith('.err'):
                with open(os.path.join(work, name)) as f:
                    content = f.read().strip()
                if content:
                    print('--- %s\n%s' % (name, content[-2000:]))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
