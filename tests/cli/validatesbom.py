#!/usr/bin/env python3
"""tessel-cli sbom against the official CycloneDX 1.6 JSON schema, and its reproducibility.

Usage: validatesbom.py TESSEL_CLI SCHEMA_DIR IMAGE

For IMAGE and a copy cut short (blocks past its end have no hash), writes the SBOM twice with
SOURCE_DATE_EPOCH set, requires the same bytes, and validates the document against bom-1.6.schema.json
with the schemas it references. Exits 77 (skipped) when python3-jsonschema is not installed.
"""
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed; the SBOM is not validated.")
    sys.exit(77)


def validator(schema_dir):
    """The bom schema's validator, its references to the other two resolved from SCHEMA_DIR by their $id,
    never fetched."""
    schemas = {}
    for name in ("bom-1.6.schema.json", "spdx.schema.json", "jsf-0.82.schema.json"):
        with open(os.path.join(schema_dir, name), encoding="utf-8") as schema:
            document = json.load(schema)
        schemas[document["$id"]] = document
    bom = schemas["http://cyclonedx.org/schema/bom-1.6.schema.json"]
    cls = jsonschema.validators.validator_for(bom)
    try:
        from referencing import Registry, Resource
    except ImportError:
        # jsonschema before 4.18 (Debian 12 has 4.10) resolves references through a RefResolver.
        resolver = jsonschema.RefResolver.from_schema(bom, store=schemas)
        return cls(bom, resolver=resolver, format_checker=cls.FORMAT_CHECKER)
    registry = Registry().with_resources(
        (uri, Resource.from_contents(document)) for uri, document in schemas.items())
    return cls(bom, registry=registry, format_checker=cls.FORMAT_CHECKER)


def sbom(program, image, output):
    environment = dict(os.environ, SOURCE_DATE_EPOCH="1764000000", TZ="UTC")
    subprocess.run([program, "sbom", "--force", image, "-o", output], check=True, env=environment,
                   stdout=subprocess.DEVNULL)
    with open(output, "rb") as written:
        return written.read()


def main():
    program, schema_dir, image = sys.argv[1:4]
    check = validator(schema_dir)
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        cut = os.path.join(folder, "cut short.bin")
        with open(image, "rb") as source, open(cut, "wb") as target:
            target.write(source.read()[:1500000])
        for path in (image, cut):
            first, second = (sbom(program, path, os.path.join(folder, name)) for name in ("1.json", "2.json"))
            if first != second:
                print(f"{path}: two runs gave different bytes")
                failures += 1
            document = json.loads(first)
            errors = sorted(check.iter_errors(document), key=lambda error: list(error.path))
            for error in errors:
                print(f"{path}: {'/'.join(map(str, error.path))}: {error.message}")
            failures += len(errors)
            hashed = sum("hashes" in component for component in document["components"])
            print(f"{path}: {len(document['components'])} blocks, {hashed} with a hash, "
                  f"{len(errors)} schema errors")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
