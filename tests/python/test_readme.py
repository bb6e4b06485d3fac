"""The README's Python tour and scripts/example.py run as they stand: the tour's output is
what its comments say, and the example runs the tour in a fresh or a reused directory."""

import os
import re
import subprocess
import shutil
import tempfile
import unittest

from dataset_util import python

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
README = os.path.join(TOP, "README.md")
EXAMPLE = os.path.join(TOP, "scripts", "example.py")


def tour():
    """The first python block after the "## Python tour" heading."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("\n## Python tour\n"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run(code, *args):
    """(exit status, output, errors) of a child interpreter running `code` with `args`."""
    child = python(code, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    return child.returncode, out, err


def run_example(*args):
    return run("import runpy, sys; sys.argv[0] = sys.argv[1]; del sys.argv[1]; "
               "runpy.run_path(sys.argv[0], run_name='__main__')", EXAMPLE, *args)


class ReadmeTest(unittest.TestCase):
    def test_first_lines_hold_the_two_commands(self):
        with open(README, encoding="utf-8") as f:
            head = f.read().splitlines()[:6]
        self.assertIn("bash scripts/setup.sh --example", "\n".join(head))
        self.assertIn("bash scripts/test.sh", "\n".join(head))

    def test_the_tour_prints_what_its_comments_say(self):
        code = tour()
        # Each print( ... ) line carries the expected output as its comment.
        expected = [line.split("# ", 1)[1] for line in code.splitlines()
                    if line.lstrip().startswith("print(") and "# " in line]
        self.assertGreaterEqual(len(expected), 10)
        rc, out, err = run(code)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines(), expected)

    def test_the_example_script(self):
        rc, out, err = run_example()
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertTrue(lines[0].startswith("opened the store at "), lines[0])
        self.assertFalse(os.path.exists(lines[0].split(" at ", 1)[1]))  # the temporary directory is gone
        self.assertRegex(out, r"a second thread polled and acknowledged +\[\(106, b'23.1'\)\]\n")
        self.assertRegex(lines[-1], "^a dataset of a closed store answers +'invalid data: dataset "
                                    "sensor/temperature is closed'$")
        # With a directory of its own the store stays, and a second run replaces its dataset.
        root = tempfile.mkdtemp(prefix="brvl-py-example-")
        self.addCleanup(shutil.rmtree, root, True)
        for attempt in range(2):
            rc, out, err = run_example(root)
            self.assertEqual(rc, 0, err)
            self.assertEqual("dropped sensor/temperature left by an earlier run" in out, attempt == 1)
        self.assertTrue(os.path.isdir(os.path.join(root, "sensor", "temperature")))


if __name__ == "__main__":
    unittest.main()
