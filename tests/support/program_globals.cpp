// The program's two bindings as the test and benchmark programs make them:
// g_loader to the switch the tests point at their adapters, the downloads'
// HTTP table to the scripted sessions. An object of every such program
// itself, not of the support library: a program whose own code names
// neither would otherwise never pull them from the archive, as the core's
// libraries that need them come after it on the link line.
#include "restore/http_platform.h"
#include "tests/support/loader_switch.h"
#include "tests/support/native/scripted_http_session.h"

Vantri::Loader& g_loader = VantriTest::Loaders();
const Vantri::HttpPlatform& g_httpPlatform = VantriTest::ScriptedHttpSession::Platform();
