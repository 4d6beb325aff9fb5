#include "Application.h"
#include "RunProgram.h"
#include "StandardDescriptors.h"

int main(int argc, char** argv)
{
    OpenMissingStandardDescriptors();
    TApplication application(argc, argv);
    return RunProgram();
}
