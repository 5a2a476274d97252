// brindlenet-peer: Brindlenet without a window.
#include "headless/headless_peer.h"

int main(int argc, char** argv) {
    return brindle::HeadlessMain(argc, argv);
}
