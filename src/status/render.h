#pragma once
// The report for people (an aligned table), for scripts (one JSON object)
// and for Prometheus (the text exposition format, for node_exporter's
// textfile collector).

#include <string>

#include "report.h"

namespace kor {
namespace status {

std::string renderText(const Report& report);
std::string renderJson(const Report& report);
std::string renderPrometheus(const Report& report);

// What is printed when the status cannot be told (exit status 2): the
// reason, and whether quorin runs with a state file.
std::string renderJsonUnknown(const std::string& error);
std::string renderPrometheusUnknown(bool quorinUp);

}  // namespace status
}  // namespace kor
