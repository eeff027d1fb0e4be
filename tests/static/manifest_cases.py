#!/usr/bin/python3
"""The manifest check accepts the shipped manifest and rejects each way it could go wrong.

    manifest_cases.py <larkspan.manifest>

Prints `ok ...` / `FAIL ...` lines; exits 1 on failure.
"""

import sys

sys.dont_write_bytecode = True  # keep __pycache__ out of the source tree
from check_pe import manifest_problem  # noqa: E402

LEVEL = '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
END = "</assembly>"

# (what is wrong, shipped text, replacement)
BROKEN = [
    ("asks for elevation", 'level="asInvoker"', 'level="requireAdministrator"'),
    ("asks for UI access", 'uiAccess="false"', 'uiAccess="true"'),
    ("leaves UI access unsaid", ' uiAccess="false"', ""),
    ("names a second level", LEVEL, LEVEL * 2),
    ("wants common controls 6", END,
     '<dependency><dependentAssembly><assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls"'
     ' version="6.0.0.0" processorArchitecture="*" publicKeyToken="6595b64144ccf1df"/>'
     "</dependentAssembly></dependency>" + END),
    ("declares a supported OS", END,
     '<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>'
     '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/></application></compatibility>' + END),
    ("sets DPI awareness", END,
     '<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>'
     '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>'
     "</windowsSettings></application>" + END),
    ("holds stray text", "<security>", "<security>elevate"),
    ("has another manifest version", 'manifestVersion="1.0"', 'manifestVersion="2.0"'),
    ("is not well-formed", "</security>", ""),
]


def main(argv):
    if len(argv) != 2:
        print(f"usage: {argv[0]} <larkspan.manifest>", file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        shipped = f.read()
    problem = manifest_problem(shipped.encode())
    results = [(problem is None, f"shipped manifest accepted{f' (but: {problem})' if problem else ''}")]
    for what, old, new in BROKEN:
        if old not in shipped:
            results.append((False, f"manifest that {what}: {old!r} is not in the shipped manifest"))
            continue
        problem = manifest_problem(shipped.replace(old, new, 1).encode())
        results.append((problem is not None, f"manifest that {what} rejected: {problem}"))
    for ok, detail in results:
        print(("ok " if ok else "FAIL ") + detail)
    return 0 if all(ok for ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
