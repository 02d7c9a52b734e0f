"""A short tour of pelorkit (grows with the package)."""

import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora

samples = ["S2", "S1", "S2", "S10"]
conditions = ["treated", "control", "treated", "control"]
print("Sample -> condition map:")
for sample, condition in analyka.get_sample_to_group_map(samples, conditions).items():
    print(f"  {sample}: {condition}")
print("Data sets in the sample catalog:", ", ".join(fetchora.sample_data_fid_dict))
