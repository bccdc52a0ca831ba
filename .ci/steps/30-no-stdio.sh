# The modules write nothing to stdout or stderr themselves: every message goes through the
# framework's system_log, every failure is an exception. (An error that cannot propagate, such as
# a failing logger, goes to sys.unraisablehook, which the host controls; that is allowed.)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
pattern='\b(printf|fprintf|puts|fputs|perror|std::cout|std::cerr|std::clog|PySys_Write(Stdout|Stderr)|PySys_FormatStd(out|err)|PyErr_Print(Ex)?|PyErr_Display|PyObject_Print|nb::print)\b'
if grep -rnE "$pattern" --include='*.cpp' --include='*.h' src; then
  echo "native code writes to stdout/stderr (lines above); log through system_log instead" >&2
  exit 1
fi
echo "no direct output in native code"
