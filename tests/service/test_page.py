"""vexolantd's status page in a real browser (headless chromium driven by
chromium-driver through selenium): it asks for the token, shows the virtual
printers, runs a check and shows the job done."""

import os
import shutil
import tempfile
import unittest

import harness

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:  # the test says why it is skipped
    webdriver = None

LIMIT_S = 20


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


@unittest.skipUnless(webdriver is not None and chromium() and shutil.which("chromedriver"),
                     "chromium, chromium-driver and python3-selenium are needed (scripts/deps browser)")
class PageTest(unittest.TestCase):
    def setUp(self):
        # Each thing started is stopped by a cleanup, which also runs when a
        # later start fails (tearDown does not): a printer or a service left
        # running would hold the test runner's output open.
        self.scratch = harness.scratch()
        self.addCleanup(self.scratch.cleanup)
        self.printers = []
        for name in ("front", "back"):
            self.printers.append(harness.Printer(self.scratch.name, name))
            self.addCleanup(self.printers[-1].stop)
        self.daemon = harness.Daemon(self.scratch.name, [(p, printer.device, "complete")
                                                         for p, printer in
                                                         zip(("front", "back"), self.printers)])
        self.addCleanup(lambda: self.assertEqual(self.daemon.stop(), 0))
        self.profile = tempfile.mkdtemp(prefix="vexolantd-browser-")
        self.addCleanup(shutil.rmtree, self.profile, ignore_errors=True)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium()
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync",
                         "--disable-dev-shm-usage", f"--user-data-dir={self.profile}"):
            options.add_argument(argument)
        self.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")),
                                        options=options)
        self.addCleanup(self.browser.quit)
        self.browser.set_page_load_timeout(LIMIT_S)

    def wait(self, condition, what):
        try:
            return WebDriverWait(self.browser, LIMIT_S).until(lambda _: condition(), what)
        except Exception:
            print("the page:", self.browser.execute_script(
                "return document.documentElement.outerHTML.slice(0, 3000)"))
            raise

    def test_token_printers_and_a_check(self):
        self.browser.get(f"http://{self.daemon.host}/")
        self.assertEqual(self.browser.title, "vexolantd")
        # It asks for the token, and only once.
        token = self.wait(lambda: self.browser.find_element(By.ID, "token").is_displayed() and
                          self.browser.find_element(By.ID, "token"), "the token form")
        token.send_keys(harness.TOKEN)
        self.browser.find_element(By.ID, "token-save").click()

        rows = lambda: self.browser.find_elements(By.CSS_SELECTOR, "#printers tbody tr")
        self.wait(lambda: len(rows()) == 2, "two printers")
        names = [row.get_attribute("data-name") for row in rows()]
        self.assertEqual(names, ["front", "back"])
        states = [row.find_element(By.CSS_SELECTOR, "[data-field=state]").text for row in rows()]
        self.assertTrue(all(state in ("idle", "busy") for state in states), states)

        Select(self.browser.find_element(By.ID, "job-printer")).select_by_value("back")
        Select(self.browser.find_element(By.ID, "job-op")).select_by_value("check")
        self.browser.find_element(By.ID, "job-run").click()
        done = lambda: self.browser.find_elements(
            By.CSS_SELECTOR, "#jobs tbody tr[data-state=done]")
        self.wait(lambda: len(done()) == 1, "the check job done")
        row = done()[0]
        self.assertIn("ok value 1", row.find_element(By.CSS_SELECTOR, "[data-field=result]").text)
        self.assertEqual(row.find_element(By.CSS_SELECTOR, "[data-field=source]").text, "http")
        self.assertIn("Job ", self.browser.find_element(By.ID, "message").text)
        self.assertIn("<ENQ>", self.printers[1].log_text())

        # A reload keeps the token: the page shows the printers at once.
        self.browser.refresh()
        self.wait(lambda: len(rows()) == 2, "the printers after a reload")
        self.assertFalse(self.browser.find_element(By.ID, "token").is_displayed())


if __name__ == "__main__":
    unittest.main()
