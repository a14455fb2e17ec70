#include <ostream>

#include "kit/Verbs.h"

int RunSimulate(const Args&, std::ostream&, std::ostream& err) {
    err << "disckit: 'simulate' is not built yet\n";
    return kExitUsage;
}
