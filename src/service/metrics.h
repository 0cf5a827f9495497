// GET /metrics: the service in Prometheus's text format, names prefixed
// vexolant_.
#pragma once

#include <string>

#include "service/service.h"

namespace vexolant::service {

std::string MetricsText(Service& service);

}  // namespace vexolant::service
