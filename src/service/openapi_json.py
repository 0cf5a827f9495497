#!/usr/bin/env python3
"""Turns docs/openapi.yaml into the C++ source that holds it as JSON, which
vexolantd serves at GET /v1/openapi.json. Usage: openapi_json.py YAML CPP"""

import json
import sys

import yaml

DELIMITER = "vexolant_openapi"


def main(source, target):
    with open(source, encoding="utf-8") as file:
        document = yaml.safe_load(file)
    text = json.dumps(document, ensure_ascii=False, separators=(",", ":"))
    if f"){DELIMITER}\"" in text:
        sys.exit(f"{source}: holds the end of the raw string that embeds it")
    with open(target, "w", encoding="utf-8") as file:
        file.write(f"// Made at build time from docs/openapi.yaml by {sys.argv[0].split('/')[-1]}.\n"
                   '#include "service/openapi.h"\n\n'
                   "namespace vexolant::service {\n"
                   f'extern const char kOpenApiJson[] = R"{DELIMITER}({text}){DELIMITER}";\n'
                   "}\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
