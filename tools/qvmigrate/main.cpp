// qvmigrate: the reference host of the qvamz connector.
#include <iostream>

#include "app.hpp"
#include "private_files.hpp"

int main(int argc, char **argv) {
    qvmigrate::harden_process();
    return qvmigrate::run_qvmigrate(argc, argv, std::cout, std::cerr);
}
