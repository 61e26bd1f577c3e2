#include "app/CApplication.h"

int main()
{
    CApplication application;
    application.run();
    return 0;
}
