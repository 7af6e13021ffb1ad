// Process entry of orvex.exe: everything else lives in the host library.
#include "ServiceContext.h"

int main(int argc, char** argv) {
    return orvex::ProcessEntry(argc, argv);
}
