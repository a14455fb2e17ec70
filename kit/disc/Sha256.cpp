#include "kit/disc/Sha256.h"

std::string Sha256(const std::string& bytes) {
    Sha256State state;
    state.Update(bytes.data(), bytes.size());
    return state.Final();
}
