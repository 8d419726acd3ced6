# The product's folders, lowest layer first, and what each may include
# besides its own files: a folder, or one file of a folder. The build gives
# each folder's library an include root with exactly these, and a test reads
# every include line against the same table.
#
# command_frame.h is the one file of protocol/ below the loader: the frame
# and the result record are the loader's currency too. The resources take
# their version from device_info.h, the one place that gives the carried
# firmware's version (the build reads it for the version resource, and the
# resource test compares against it). The two front ends, the window (app)
# and the console program (cli), sit side by side at the top: each sees the
# layers below, neither sees the other.
set(VANTRI_LAYERS loader protocol restore resources app cli)
set(VANTRI_LAYER_loader_SEES protocol/command_frame.h)
set(VANTRI_LAYER_protocol_SEES loader)
set(VANTRI_LAYER_restore_SEES protocol loader)
set(VANTRI_LAYER_resources_SEES protocol/device_info.h)
set(VANTRI_LAYER_app_SEES restore protocol loader resources)
set(VANTRI_LAYER_cli_SEES restore protocol loader resources)
