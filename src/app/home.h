// The working directory and the files the tool keeps in it.
#pragma once

#include <string>

namespace vexolant {

constexpr const char* kPortFileName = "Puerto.dat";
constexpr const char* kResultFileName = "Status_Error.txt";
constexpr const char* kReportFileName = "Reporte.txt";
constexpr const char* kStatusFileName = "Status.txt";

// VEXOLANT_HOME when it is set and not empty, else the platform's default
// ("C:/Vexolant" on Windows, /var/lib/vexolant elsewhere).
std::string HomeDirectory();

// A file in the working directory.
std::string HomeFile(const char* name);

// Creates the working directory if it is missing; a failure changes nothing.
void PrepareHomeDirectory();

}  // namespace vexolant
