"""The runner's extractor finds the marked blocks and only those; its time
limit ends a block together with what the block left running."""

import os
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import run_snippets

PAGE = textwrap.dedent("""\
    # A page

    <!-- run -->
    ```sh
    velmar-dds list
    ```

    ```
    output, never run
    ```

    ```python
    fragment(samples)
    ```

    - a list item:

      <!-- run: own-sim timeout=5 -->
      ```python
      import velmar_dds
      if True:
          print(1)
      ```

    <!-- run: pyvisa needs=lxi,mcs -->
    ````python
    rm = pyvisa.ResourceManager("@py")
    ```
    ````
    """)


class ExtractTest(unittest.TestCase):
    def test_finds_the_marked_blocks_in_order_and_skips_the_others(self):
        blocks = run_snippets.extract("page.md", PAGE)
        self.assertEqual([(b.line, b.language) for b in blocks],
                         [(4, "sh"), (19, "python"), (26, "python")])
        self.assertEqual(blocks[0].code, "velmar-dds list\n")
        self.assertEqual(blocks[1].code, "import velmar_dds\nif True:\n    print(1)\n")
        self.assertEqual(blocks[1].options, {"own-sim": True, "timeout": 5})
        self.assertEqual(blocks[2].options, {"pyvisa": True, "needs": ["lxi", "mcs"]})
        self.assertEqual(blocks[2].code, 'rm = pyvisa.ResourceManager("@py")\n```\n')

    def test_a_wrong_marker_is_an_error_not_a_block_left_out(self):
        cases = {
            "prose between": "<!-- run -->\nSome words.\n```sh\ntrue\n```\n",
            "no block after": "<!-- run -->\n",
            "unknown option": "<!-- run: quick -->\n```sh\ntrue\n```\n",
            "bad timeout": "<!-- run: timeout=soon -->\n```sh\ntrue\n```\n",
            "language that cannot run": "<!-- run -->\n```csharp\nclass A {}\n```\n",
            "pyvisa on a shell block": "<!-- run: pyvisa -->\n```sh\ntrue\n```\n",
            "never closed": "<!-- run -->\n```sh\ntrue\n",
        }
        for name, text in cases.items():
            with self.subTest(name), self.assertRaises(run_snippets.MarkerError):
                run_snippets.extract("page.md", text)


class RunTest(unittest.TestCase):
    def test_verdicts_and_the_time_limit(self):
        with tempfile.TemporaryDirectory() as folder:
            programs = []
            for name in ("velmar-dds", "velmar-dds-sim"):
                programs.append(os.path.join(folder, name))
                with open(programs[-1], "w") as f:
                    f.write("#!/bin/sh\nexit 0\n")
                os.chmod(programs[-1], 0o755)
            page = os.path.join(folder, "page.md")
            with open(page, "w") as f:
                f.write(textwrap.dedent("""\
                    <!-- run: own-sim -->
                    ```sh
                    test -z "${VELMAR_DDS_DEVICE_DIR-}" && test -d "$XDG_RUNTIME_DIR" && touch made-here
                    ```
                    <!-- run: own-sim timeout=1 -->
                    ```sh
                    sleep 30 &
                    sleep 30
                    ```
                    <!-- run: own-sim -->
                    ```sh
                    false
                    true
                    ```
                    <!-- run: own-sim needs=no-such-program -->
                    ```sh
                    true
                    ```
                    """))
            started = time.monotonic()
            result = subprocess.run(
                [sys.executable, run_snippets.__file__, "--tool", programs[0], "--sim", programs[1],
                 "--library-dir", folder, "--session-library", folder, "--include", folder,
                 "--python-path", folder, page],
                capture_output=True, text=True, timeout=30)
            self.assertLess(time.monotonic() - started, 20, "the sleeping block was not stopped")
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("page.md:2 (sh): passed", result.stdout)
        self.assertIn("page.md:6 (sh): FAILED: still running after 1 s", result.stdout)
        self.assertIn("page.md:11 (sh): FAILED: exit status 1", result.stdout)
        self.assertIn("page.md:16 (sh): NOT RUN: needs no-such-program", result.stdout)
        self.assertIn("1 passed, 2 failed, 1 skipped", result.stdout.splitlines())


if __name__ == "__main__":
    unittest.main()
