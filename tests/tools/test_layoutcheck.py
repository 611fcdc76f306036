"""The layout check refuses each kind of include that crosses a wall of the tree, naming the file,
the line and the wall, and lets every include the walls allow through. One table, one small tree:
each case adds one file to a tree that passes and expects the check's verdict on it."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "tools", "layoutcheck")

# A tree that keeps to its walls: two drivers, a host kernel with two subsystems and shared
# headers, and the device side.
CLEAN = {
    "drivers/port/platform.h": "#include <ntddk.h>\n#include <wdk/wdk.h>\n",
    "drivers/port/entry.cpp": '#include "port/platform.h"\n#include "port/usb/usb.h"\n',
    "drivers/port/usb/usb.h": '#include "port/platform.h"\n',
    "drivers/port/usb/ring.cpp": '#include "usb.h"\n',
    "drivers/port/x86/layout.cpp": '#include <stddef.h>\n#include "port/usb/usb.h"\n',
    "drivers/bus/platform.h": "#include <wdm.h>\n",
    "drivers/bus/bus.cpp": '#include "bus/platform.h"\n#include "common/parent_pdo.h"\n',
    "drivers/common/parent_pdo.h": "#include <stddef.h>\n",
    "host/include/wdk/wdk.h": '#include "io.h"\n#include <stdint.h>\n',
    "host/include/wdk/io.h": "",
    "host/include/host/session.h": "#include <wdk/wdk.h>\n#include <string>\n",
    "host/src/internal/kernel.h": '#include "host/session.h"\n',
    "host/src/internal/core.h": '#include "internal/kernel.h"\n',
    "host/src/ke/timer.cpp": '#include "internal/core.h"\n#include "ke_private.h"\n',
    "host/src/ke/ke_private.h": "",
    "host/src/io/iop.h": '#include "internal/kernel.h"\n',
    "host/src/io/irp.cpp": '#include "iop.h"\n#include <mutex>\n',
    "host/testing/host_test.h": '#include "host/session.h"\n#include <gtest/gtest.h>\n',
    "sim/include/sim/usb_stack.h": '#include "host/session.h"\n',
    "tests/support/port_testbed.h": '#include "port/usb/usb.h"\n',
}

# (file added, its text, what the report must say; None: the check passes)
CASES = [
    # A driver's own headers, however named, and the compiler's <stddef.h>.
    ("drivers/port/serial/read.cpp", '#include "port/usb/usb.h"\n#include "../entry.cpp"\n', None),
    ("drivers/port/serial/write.cpp", "#include <stddef.h>\n", None),
    # A driver reaching past its platform header or into its neighbour.
    ("drivers/port/serial/read.cpp", "#include <ntddk.h>\n",
     "drivers/port/serial/read.cpp:1: #include ntddk.h: a file of driver port includes outside"),
    ("drivers/port/serial/read.cpp", '\n#include "wdk/wdk.h"\n',
     "read.cpp:2: #include wdk/wdk.h: a file of driver port includes host/include/wdk/wdk.h"),
    ("drivers/port/serial/read.cpp", '#include "bus/platform.h"\n',
     "driver port includes drivers/bus/platform.h"),
    ("drivers/port/serial/read.cpp", '#include "sim/usb_stack.h"\n',
     "driver port includes sim/include/sim/usb_stack.h"),
    ("drivers/bus/pdo.cpp", "#include <string.h>\n", "a file of driver bus includes outside"),
    # The drivers' shared headers: open to every driver, closed to the platform and the drivers.
    ("drivers/port/serial/read.cpp", '#include "common/parent_pdo.h"\n', None),
    ("drivers/common/ids.h", '#include "port/platform.h"\n',
     "a shared header of the drivers includes drivers/port/platform.h"),
    ("drivers/common/ids.h", "#include <ntddk.h>\n",
     "a shared header of the drivers includes outside the tree"),
    # The host kernel knows nothing of what runs on it or tests it.
    ("host/src/io/pnp.cpp", '#include "port/usb/usb.h"\n',
     "host/src/io/pnp.cpp:1: #include port/usb/usb.h: the host kernel includes drivers/port/usb"),
    ("host/src/internal/io.h", "#include <sim/usb_stack.h>\n",
     "the host kernel includes sim/include/sim/usb_stack.h"),
    ("host/testing/explore.h", '#include "port_testbed.h"\n',
     "the host kernel includes tests/support/port_testbed.h"),
    # Subsystems share through host/src/internal only; public headers stay public.
    ("host/src/io/cancel.cpp", '#include "internal/core.h"\n#include "iop.h"\n', None),
    ("host/src/io/cancel.cpp", '#include "ke/ke_private.h"\n',
     "host/src/io includes host/src/ke/ke_private.h, a private header of host/src/ke"),
    ("host/src/ke/wait.cpp", '#include "../io/iop.h"\n',
     "host/src/ke includes host/src/io/iop.h, a private header of host/src/io"),
    ("host/src/internal/po.h", '#include "io/iop.h"\n',
     "host/src/internal includes host/src/io/iop.h, a private header of host/src/io"),
    ("host/include/host/debug.h", '#include "internal/kernel.h"\n',
     "a public header of the host includes host/src/internal/kernel.h, inside host/src"),
]


class LayoutCheck(unittest.TestCase):
    def run_check(self, root):
        result = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return result.returncode, result.stdout

    def test_tree_with_clean_walls_passes_and_each_crossing_is_named(self):
        for path, text, expected in CASES:
            with self.subTest(path=path, text=text):
                root = tempfile.mkdtemp(prefix="layoutcheck-")
                try:
                    for name, body in list(CLEAN.items()) + [(path, text)]:
                        full = os.path.join(root, name)
                        os.makedirs(os.path.dirname(full), exist_ok=True)
                        with open(full, "w") as f:
                            f.write(body)
                    status, out = self.run_check(root)
                    if expected is None:
                        self.assertEqual(status, 0, out)
                    else:
                        self.assertEqual(status, 1, out)
                        self.assertIn(expected, out)
                        self.assertIn("1 include(s) cross a wall", out)
                finally:
                    shutil.rmtree(root)


if __name__ == "__main__":
    unittest.main()
