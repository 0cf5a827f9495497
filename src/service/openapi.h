// The API's OpenAPI document as JSON, served at GET /v1/openapi.json: made at
// build time from docs/openapi.yaml.
#pragma once

namespace vexolant::service {
extern const char kOpenApiJson[];
}
