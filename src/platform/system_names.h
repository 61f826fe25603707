// The computer's network name and the name of the user the process runs as.
#pragma once

#include <string>

// A name, or the errno of the failed query (0 when the query worked but gave no usable name).
struct SystemName {
  std::string name;
  int error = 0;
  bool usable() const { return !name.empty(); }
};

SystemName computerName();  // the node name of uname
SystemName userName();      // the password entry of the effective user id
