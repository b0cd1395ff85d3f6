#include "QuorvaneService.h"

int main(int argc, char** argv) {
    QuorvaneService service("Quorvane Server");
    return service.Main(argc, argv);
}
