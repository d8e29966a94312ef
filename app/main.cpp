#include "vek_app.h"

int main(int argc, char** argv) {
    return romlift::RunRomlift(argc, argv);
}
