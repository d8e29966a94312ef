// Runs the widget test classes on the offscreen platform, with settings kept in a scratch folder.
#include "qt_suites.h"

int RunTemplateTests(int argc, char** argv);
int RunDownloadDialogTests(int argc, char** argv);
int RunFileSelectTests(int argc, char** argv);
int RunPortTipsTests(int argc, char** argv);
int RunRecordDialogTests(int argc, char** argv);

int main(int argc, char** argv) {
    return romlift::testing::RunQtSuites(argc, argv,
                                         {{"template", RunTemplateTests},
                                          {"download", RunDownloadDialogTests},
                                          {"file_select", RunFileSelectTests},
                                          {"port_tips", RunPortTipsTests},
                                          {"record", RunRecordDialogTests}});
}
