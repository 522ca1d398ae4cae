#pragma once
// Resource IDs that the program's code and its resource script share.

// The manifest naming the player file beside the program, its class and its
// type library. An ID of its own: 1 is the process's manifest, and the system
// keeps 1 to 16 for manifests it loads by itself.
#define PLAYER_MANIFEST_RESOURCE 17
