// Connects the camera event numbers to the modules that handle them.
#pragma once

// Fills the dispatcher's handler slots; called once before the event thread starts.
void PLR_VPS_RegisterHandlers();
