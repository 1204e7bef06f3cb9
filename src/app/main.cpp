#include "src/app/tessary_app.h"

int main(int argc, char** argv) {
    return sonavert::runApplication(argc, argv);
}
