// The cluster software's deploy tool (internal).
#ifndef NESK_CLUSTER_TOOL_H
#define NESK_CLUSTER_TOOL_H

#include <string>

// "/opt/talus/bin/talus_deploy": every cluster query starts its command with it.
extern __attribute__((visibility("hidden"))) const std::string talus_deploy_script;

#endif
