#include "app/startup.h"

int main(int argc, char **argv) { return alarmgw_main(argc, argv); }
