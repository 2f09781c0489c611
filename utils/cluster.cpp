#include "cluster_tool.h"

const std::string talus_deploy_script = "/opt/talus/bin/talus_deploy";
