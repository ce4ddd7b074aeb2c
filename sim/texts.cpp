#include "texts.h"

namespace boxmodel {

std::string menuText(const std::string& downloadEntries) {
    return "\r\n"
           "Main menu\r\n"
           " 1 - leave the boot loader\r\n" +
           downloadEntries +
           " 5 - satellite update (EOL)\r\n"
           " 6 - satellite update (ORB)\r\n"
           " 8 - satellite update (any method)\r\n"
           "Your ";
}

}  // namespace boxmodel
