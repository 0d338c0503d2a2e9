// Resource ids of the main program.
#pragma once
