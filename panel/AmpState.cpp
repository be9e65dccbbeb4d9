#include "panel/AmpState.h"

AmpStateRecord AmpState;
proto::RxFramer RxFramerState;
PreparedFrames Frames;
