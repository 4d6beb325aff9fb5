#include "Application.h"
#include "RunProgram.h"

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
    return RunProgram();
}
