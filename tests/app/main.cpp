// Runs the application-frame test classes on the offscreen platform, with settings kept in a
// scratch folder.
#include "qt_suites.h"
#include "vek_app.h"

int RunFrameTests(int argc, char** argv);
int RunProcessTests(int argc, char** argv);

int main(int argc, char** argv) {
    return romlift::testing::RunQtSuites(argc, argv,
                                         {{"frame", RunFrameTests}, {"process", RunProcessTests}},
                                         [] { romlift::CVekApp::ConfigureApplication(); });
}
