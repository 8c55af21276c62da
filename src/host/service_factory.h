// The services of the server process, created in this order: the ReplData
// service, the packet installer service, the Nom Sync service.
#pragma once

#include <memory>
#include <vector>

#include "core/service.h"

std::vector<std::unique_ptr<TService>> CreateServices();
