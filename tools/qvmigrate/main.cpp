// qvmigrate: the reference host of the qvamz connector.
#include <iostream>

#include "app.hpp"

int main(int argc, char **argv) {
    return qvmigrate::run_qvmigrate(argc, argv, std::cout, std::cerr);
}
