#!/usr/bin/env python3
"""Writes a LAYOUT_FIELD line for every member of the driver's DEVICE_EXTENSION.

Tests that run on the Windows image read the extension through the image's layout,
so both builds must lay it out alike; listing the members by hand would go stale
with the first new one. Usage: extension_fields.py core/extension.h > OUTPUT.inc
"""
import re
import sys

text = open(sys.argv[1], encoding="utf-8").read()
match = re.search(r"typedef struct _DEVICE_EXTENSION \{(.*?)\} DEVICE_EXTENSION", text, re.S)
if not match:
    sys.exit("extension_fields.py: no DEVICE_EXTENSION record in " + sys.argv[1])
print("LAYOUT_RECORD(DEVICE_EXTENSION)")
count = 0
for line in match.group(1).splitlines():
    code = line.split("//", 1)[0].strip()
    # A member may end with lock annotations: GUARDED_BY(DataLock), ACQUIRED_AFTER(...).
    member = re.fullmatch(r"[A-Za-z_][\w ]*?[\s*]+([A-Za-z_]\w*)(\[[^\]]+\])?(?:\s+[A-Z_]+\([^)]*\))*;", code)
    if member:
        print("LAYOUT_FIELD(DEVICE_EXTENSION, %s)" % member.group(1))
        count += 1
    elif code:
        sys.exit("extension_fields.py: cannot read the member declaration '%s'" % code)
if count < 10:
    sys.exit("extension_fields.py: only %d members found" % count)
