"""Checks the service's answers against its OpenAPI document (the one it
serves at GET /v1/openapi.json, made from docs/openapi.yaml): the route and
method are described, the status is one the operation lists, and a JSON body
matches the schema given for it. Needs python3-jsonschema (scripts/deps)."""

import re
import urllib.parse

try:
    import jsonschema
except ImportError as error:  # pragma: no cover - said once, clearly
    raise ImportError("the API tests need python3-jsonschema: scripts/deps installs it") from error

DIALECT = "https://json-schema.org/draft/2020-12/schema"


class Document:
    def __init__(self, document):
        self.document = document
        self.routes = []
        for template, item in document["paths"].items():
            pattern = re.sub(r"\\\{([^}]+)\\\}", r"(?P<\1>[^/]+)", re.escape(template))
            self.routes.append((re.compile(f"^{pattern}$"), template, item))

    def check_schemas(self):
        """Every schema of the document is a valid JSON Schema 2020-12."""
        validator = jsonschema.Draft202012Validator
        for name, schema in self.document["components"]["schemas"].items():
            try:
                validator.check_schema(schema)
            except jsonschema.SchemaError as error:
                raise AssertionError(f"components/schemas/{name}: {error.message}") from None

    def validate(self, schema, value, where):
        # The schema sits under a root that holds the components, so that its
        # references (#/components/schemas/...) resolve.
        root = {"$schema": DIALECT, "$ref": "#/x-answer", "x-answer": schema,
                "components": self.document["components"]}
        errors = sorted(jsonschema.Draft202012Validator(root).iter_errors(value),
                        key=lambda e: list(e.absolute_path))
        if errors:
            error = errors[0]
            at = "/".join(str(p) for p in error.absolute_path) or "the body"
            raise AssertionError(f"{where}: {at}: {error.message}\n{value!r}")

    def resolve(self, node):
        while "$ref" in node:
            target = self.document
            for part in node["$ref"].lstrip("#/").split("/"):
                target = target[part.replace("~1", "/").replace("~0", "~")]
            node = target
        return node

    def check(self, method, path, answer):
        """Raises AssertionError when the answer is not one the document
        describes for METHOD PATH."""
        route = urllib.parse.urlsplit(path).path
        where = f"{method} {path} answered {answer.status}"
        for pattern, template, item in self.routes:
            if pattern.match(route) and method.lower() in item:
                operation = item[method.lower()]
                break
        else:
            # A route (or method) the API does not have: only a refusal.
            if answer.status not in (401, 403, 404):
                raise AssertionError(f"{where}: the document has no {method} {route}")
            return self.check_body(self.document["components"]["responses"]["NotFound"],
                                   answer, where)
        responses = operation["responses"]
        response = responses.get(str(answer.status))
        if response is None:
            raise AssertionError(f"{where}: {method} {template} lists no {answer.status} "
                                 f"(only {', '.join(responses)})")
        self.check_body(self.resolve(response), answer, where)

    def check_body(self, response, answer, where):
        content = response.get("content")
        if not content:
            if answer.raw:
                raise AssertionError(f"{where}: a body where none is described: {answer.raw!r}")
            return
        media = answer.headers.get("Content-Type", "").split(";")[0].strip()
        if media not in content:
            raise AssertionError(f"{where}: Content-Type {media!r}, described: {', '.join(content)}")
        if media == "application/json":
            self.validate(content[media]["schema"], answer.json, where)
