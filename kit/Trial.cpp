#include <ostream>

#include "kit/Verbs.h"

int RunTrial(const Args&, std::ostream&, std::ostream& err) {
    err << "disckit: 'trial' is not built yet\n";
    return kExitUsage;
}
