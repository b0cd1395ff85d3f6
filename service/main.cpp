#include "QuorvaneService.h"

int main(int argc, char** argv) {
    CQuorvaneService service("Quorvane Server");
    return service.ProcessCommandLine(argc, argv);
}
