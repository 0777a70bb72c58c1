// store_probe URL N: takes N addresses of 005B:02 from the store, each put
// on disk as it would be before it goes to a device. The durability tests
// run it with the sync counter preloaded.
#include "store.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) return 2;
    std::string error;
    auto store = station::OpenStore(argv[1], station::StoreMode::Existing, error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int n = std::atoi(argv[2]);
    for (int i = 0; i < n; ++i) {
        station::Address a;
        if (store->ReserveDurable(0x5B, 0x02, {"probe", "probe", 1}, "", a, error) != station::ReserveResult::Ok) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
